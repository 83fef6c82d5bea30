// Removing the content codings of a response body as it streams past: gzip, deflate (zlib,
// or raw deflate as some servers send it), br and zstd, also several in a row.
//
// Decoding goes block by block: what a block decodes to is handed on in pieces of at most
// kPieceSize bytes before the next piece is made, so that the memory of a decoder does not
// grow with the body (nor with a body that decodes to far more than it is). Only the
// decoders' own windows are kept (zstd's limited to 8 MiB).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CContentDecoder {
public:
    // Largest piece handed on at a time.
    static constexpr std::size_t kPieceSize = 65536;
    // Most codings removed from one body; each costs a decoder's memory, and no server
    // applies this many.
    static constexpr std::size_t kMaxCodings = 8;

    // Takes a decoded piece; false stops the decoding (the rest of the body is not wanted).
    using PieceFn = std::function<bool(std::string_view)>;

    // One coding of the chain.
    class CStage {
    public:
        virtual ~CStage() = default;
        // Decodes `in`, handing the output to `fnOut`; false when the data is not of this
        // coding (or `fnOut` asked to stop).
        virtual bool Feed(std::string_view in, const PieceFn& fnOut) = 0;
        // The end of the coded data: false when the coded stream was not complete.
        virtual bool Finish(const PieceFn& fnOut) = 0;
    };

    // The codings in the order in which the server applied them (as the header lists them);
    // "identity" is left out. Nothing when one of them is not known (or it is one more than
    // kMaxCodings); its name goes to `*pstrUnknown`.
    static std::optional<CContentDecoder> Create(const std::vector<std::string>& codings,
                                                 std::string* pstrUnknown);

    CContentDecoder(CContentDecoder&&) noexcept = default;
    CContentDecoder& operator=(CContentDecoder&&) noexcept = default;
    ~CContentDecoder();

    // Decodes the next coded bytes. False after a failure (see FailedCoding) or when
    // `fnOut` asked to stop; every later call then does nothing and returns false.
    bool Feed(std::string_view in, const PieceFn& fnOut);
    // The coded body ended: false when it did not end a whole coded stream.
    bool Finish(const PieceFn& fnOut);

    // The coding whose data did not decode; empty while all went well (or the output
    // stopped it).
    const std::string& FailedCoding() const { return m_strFailed; }
    bool IsStopped() const { return m_bStopped; }

private:
    CContentDecoder() = default;
    bool FeedFrom(std::size_t nStage, std::string_view in, const PieceFn& fnOut);
    bool FinishFrom(std::size_t nStage, const PieceFn& fnOut);

    // Decoding order: the last coding applied comes first.
    std::vector<std::unique_ptr<CStage>> m_stages;
    std::vector<std::string> m_names;
    std::string m_strFailed;
    bool m_bStopped = false;
    bool m_bOutputStopped = false;
};

// The codings of a Content-Encoding (or Transfer-Encoding) value, lower case, in their order,
// empty entries and "identity" left out.
std::vector<std::string> ParseCodings(std::string_view value);
