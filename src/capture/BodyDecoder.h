// What becomes of the body of a saved response on its way into the file: its content
// codings are removed, then a text body (content type "text...") is converted from the
// charset that the response names (or, naming none, from the program's ANSI code page) to
// UTF-16, and any other body is kept as bytes.
//
// A coding that is not known is not removed: the body is saved as it came, in binary mode,
// and a log line says so. The same happens to a body whose data does not decode, as long as
// its first kKeepCoded coded bytes are still at hand; a longer one keeps what was decoded,
// and the log line says that. A body that decodes to more than the limits (a decompression
// bomb) stops being saved there, with a log line; the relay never notices any of this.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/ContentDecoder.h"
#include "capture/ResponseScan.h"

class CCharsetConverter;

// Where the body of a response goes (the response file).
class IResponseBody {
public:
    virtual ~IResponseBody() = default;
    // A response to be saved under `strFile` begins: the file of the previous one is done.
    virtual void OnBodyStart(const std::wstring& strFile) = 0;
    // Text mode: UTF-16 code units of the body.
    virtual void OnBodyText(std::u16string_view text) = 0;
    // Binary mode: body bytes.
    virtual void OnBodyBinary(std::string_view bytes) = 0;
    // What was written of this response is dropped: it is written again, in binary mode.
    virtual void OnBodyRestart() = 0;
    // A line for the traffic log about this response.
    virtual void OnBodyNote(const std::wstring& strText) = 0;
    // The response is over: its file is complete.
    virtual void OnBodyEnd() = 0;
};

// A decoded body may grow to `nRatio` times its coded size plus `nAllowance` bytes, and
// never beyond `nMax`.
struct CDecodeLimits {
    std::uint64_t nRatio = 100;
    std::uint64_t nAllowance = 1024 * 1024;
    std::uint64_t nMax = std::uint64_t{4} << 30;
};

class CBodyDecoder : public IResponseEvents {
public:
    // Coded bytes kept to save a body as it came when its data turns out not to decode.
    static constexpr std::size_t kKeepCoded = 2 * 1024 * 1024;

    explicit CBodyDecoder(IResponseBody& body, CDecodeLimits limits = {});
    ~CBodyDecoder() override;
    CBodyDecoder(const CBodyDecoder&) = delete;
    CBodyDecoder& operator=(const CBodyDecoder&) = delete;

    void OnResponseHead(const CResponseHead& head) override;
    void OnResponseBody(std::string_view bytes) override;
    void OnResponseEnd(bool bWhole) override;
    void OnResponseNote(const std::string& strText) override;

private:
    // Direct: the bytes as they come (no coding, or one kept); Decode: through m_decoder;
    // Stopped: nothing more of this response is saved.
    enum class Mode { None, Direct, Decode, Stopped };

    // One decoded piece into the file; false at the limit.
    bool Output(std::string_view piece);
    void WriteDecoded(std::string_view bytes);
    // The data did not decode: saved as it came when that is still possible.
    void DecodeFailed();
    void Note(const std::wstring& strText);

    IResponseBody& m_body;
    const CDecodeLimits m_limits;
    Mode m_mode = Mode::None;
    std::wstring m_strFile;
    bool m_bText = false;
    std::optional<CContentDecoder> m_decoder;
    std::unique_ptr<CCharsetConverter> m_pCharset;  // null: the ANSI conversion
    std::string m_strAnsiTail;  // ANSI conversion: a UTF-8 sequence cut at a piece's end
    std::string m_strCoded;     // the coded bytes so far, while at most kKeepCoded
    bool m_bCodedKept = true;
    std::uint64_t m_nCoded = 0;
    std::uint64_t m_nDecoded = 0;
};

// Length of the part of `bytes` after which no UTF-8 sequence is left unfinished: the
// bytes from a lead byte near the end whose sequence needs more bytes than there are stay
// out.
std::size_t CompleteUtf8Length(std::string_view bytes);
