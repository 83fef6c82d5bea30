// Runs arbitrary bytes through the HTTP mode's request rewriting (with the URL parser and
// the naming of response files), through the response scan with the decoding of the saved
// bodies, and through the content decoders alone, each once whole and once cut into two
// blocks, checking that:
// - without rewriting, the request bytes come out unchanged, and the cut changes neither
//   the bytes nor the request targets found;
// - with rewriting, a stream without "host:", "referer:" and "origin:" in any case comes
//   out unchanged, and the cut does not change what comes out;
// - every response file name lies inside the host's folder below the data folder;
// - the cut responses give the same files and log notes as the whole ones, every response
//   that starts also ends, and no file grows beyond the decoding limits;
// - the content decoders give the same output and the same verdict for any cut, in pieces
//   no larger than they promise.
//
// Input: one byte of options (bit 0: rewrite; bits 1-3: length of the host taken from the
// stream; bits 4-5: the coding for the decoders alone, bit 6: a second coding before it,
// bit 7: the first request is a HEAD), two bytes of cut offset (low first), then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "capture/BodyDecoder.h"
#include "capture/ContentDecoder.h"
#include "capture/RequestRewriter.h"
#include "capture/ResponseScan.h"
#include "capture/UrlParser.h"
#include "platform/TextConv.h"

namespace {

void Check(bool bCondition) {
    if (!bCondition) {
        std::abort();
    }
}

class CHandler : public IRequestHandler {
public:
    std::wstring GetUrl() override { return L"example.org"; }
    void OnRequestTarget(const std::wstring& strTarget) override { m_targets.push_back(strTarget); }
    std::vector<std::wstring> m_targets;
};

// The files as the capture leaves them, and the notes.
class CFiles : public IResponseBody {
public:
    void OnBodyStart(const std::wstring& strFile) override {
        Check(!m_bInResponse);
        m_bInResponse = true;
        m_strCurrent = strFile;
        ++m_nStarts;
    }
    void OnBodyText(std::u16string_view text) override {
        Check(m_bInResponse && !text.empty());
        Open(true);
        for (char16_t u : text) {
            m_files[m_strCurrent] += static_cast<char>(u & 0xFF);
            m_files[m_strCurrent] += static_cast<char>(u >> 8);
        }
    }
    void OnBodyBinary(std::string_view bytes) override {
        Check(m_bInResponse);
        Open(false);
        m_files[m_strCurrent] += bytes;
    }
    void OnBodyRestart() override { m_bOpen = false; }
    void OnBodyNote(const std::wstring& strText) override { m_notes.push_back(strText); }
    void OnBodyEnd() override {
        Check(m_bInResponse);
        m_bInResponse = false;
        m_bOpen = false;
    }
    std::map<std::wstring, std::string> m_files;
    std::vector<std::wstring> m_notes;
    int m_nStarts = 0;
    bool m_bInResponse = false;

private:
    void Open(bool bText) {
        if (!m_bOpen) {
            m_files[m_strCurrent] = bText ? "\xff\xfe" : "";
            m_bOpen = true;
        }
    }
    std::wstring m_strCurrent;
    bool m_bOpen = false;
};

constexpr CDecodeLimits kLimits{100, 65536, 1 << 24};

std::string RunRequests(std::string_view stream, std::size_t nCut, bool bReplace,
                        CHandler& handler) {
    CRequestRewriter rewriter;
    std::string out;
    rewriter.Feed(stream.substr(0, nCut), bReplace, true, handler, out);
    rewriter.Feed(stream.substr(nCut), bReplace, true, handler, out);
    // The end of the stream: a header line still held back goes out as it is, as the relay
    // sends it when the client ends its side.
    rewriter.Flush(out);
    return out;
}

// Three requests (the first perhaps a HEAD), each named, answered by the stream.
CFiles RunResponses(std::string_view stream, std::size_t nCut, bool bHead) {
    CFiles files;
    CBodyDecoder decoder(files, kLimits);
    CResponseScan scan;
    for (int i = 0; i < 3; ++i) {
        scan.BeginRequestBlock();
        scan.QueueRequest(i == 0 && bHead, false);
        scan.NameLastRequest(L"f" + std::to_wstring(i));
    }
    scan.Feed(stream.substr(0, nCut), decoder);
    scan.Feed(stream.substr(nCut), decoder);
    scan.End(decoder);
    Check(!files.m_bInResponse);
    Check(files.m_nStarts <= 3);
    return files;
}

struct CDecoded {
    bool bOk = true;
    std::string strOut;
    std::string strFailed;
};

CDecoded RunDecoder(const std::vector<std::string>& codings, std::string_view stream,
                    std::size_t nCut) {
    std::optional<CContentDecoder> decoder = CContentDecoder::Create(codings, nullptr);
    Check(decoder.has_value());
    CDecoded result;
    const auto fnOut = [&](std::string_view piece) {
        Check(!piece.empty() && piece.size() <= CContentDecoder::kPieceSize);
        result.strOut += piece;
        return result.strOut.size() <= (1u << 22);  // enough for any seed; a bomb stops here
    };
    result.bOk = decoder->Feed(stream.substr(0, nCut), fnOut);
    result.bOk = result.bOk && decoder->Feed(stream.substr(nCut), fnOut);
    result.bOk = result.bOk && decoder->Finish(fnOut);
    result.strFailed = decoder->FailedCoding();
    return result;
}

// The name must be the data folder, one folder for the host, and path segments that are
// neither empty nor dots.
void CheckPath(const std::wstring& strPath, const std::wstring& strHost) {
    const std::wstring strFolder = L"/data/";
    Check(strPath.starts_with(strFolder));
    Check(strPath.find(L'\0') == std::wstring::npos);
    std::wstring_view rest = std::wstring_view(strPath).substr(strFolder.size());
    if (!strHost.empty()) {
        const std::size_t nSlash = rest.find(L'/');
        Check(nSlash != std::wstring_view::npos && nSlash == strHost.size());
        rest.remove_prefix(nSlash + 1);
    }
    Check(!rest.empty());
    for (std::size_t nStart = 0; nStart <= rest.size();) {
        const std::size_t nEnd = std::min(rest.find(L'/', nStart), rest.size());
        const std::wstring_view segment = rest.substr(nStart, nEnd - nStart);
        Check(!segment.empty() && segment != L"." && segment != L"..");
        nStart = nEnd + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize < 3) {
        return 0;
    }
    const bool bReplace = (pData[0] & 1) != 0;
    const std::string_view stream(reinterpret_cast<const char*>(pData + 3), nSize - 3);
    const std::size_t nCut = (pData[1] | (pData[2] << 8)) % (stream.size() + 1);

    // The requests.
    CHandler whole;
    const std::string out = RunRequests(stream, stream.size(), false, whole);
    Check(out == stream);
    CHandler cut;
    Check(RunRequests(stream, nCut, false, cut) == stream);
    Check(cut.m_targets == whole.m_targets);
    CHandler rewriting;
    const std::string rewritten = RunRequests(stream, nCut, bReplace, rewriting);
    std::string lower(stream);
    for (char& c : lower) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (lower.find("host:") == std::string::npos && lower.find("referer:") == std::string::npos &&
        lower.find("origin:") == std::string::npos) {
        Check(rewritten == stream);
    }
    // How the stream is cut does not change what is sent (as long as no line is longer
    // than what is held back for rewriting).
    if (stream.size() <= CRequestRewriter::kMaxHeldLine) {
        CHandler rewritingWhole;
        Check(rewritten == RunRequests(stream, stream.size(), bReplace, rewritingWhole));
    }

    // The names of the response files, with a host taken from the input.
    std::wstring strHost = win::AnsiToWide(stream.substr(0, (pData[0] >> 1) % 8));
    const std::optional<std::wstring> hostPath = ResponseFilePath(L"/data", strHost, L"/x");
    Check(hostPath.has_value());
    std::wstring strHostFolder;
    if (!strHost.empty()) {
        strHostFolder = hostPath->substr(6, hostPath->size() - 6 - 2);  // "/data/" and "/x"
        Check(strHostFolder.size() == strHost.size());
        Check(strHostFolder.find(L'/') == std::wstring::npos && strHostFolder != L"." &&
              strHostFolder != L"..");
    }
    for (const std::wstring& strTarget : whole.m_targets) {
        CUrlParser url;
        if (url.Parse(L"http://" + strTarget)) {
            Check(url.GetPath().size() <= CUrlParser::kMaxPath);
            Check(url.GetHostName().size() <= CUrlParser::kMaxHostName);
        }
        if (const std::optional<std::wstring> strPath =
                ResponseFilePath(L"/data", strHost, strTarget)) {
            CheckPath(*strPath, strHostFolder);
        }
    }

    // The responses, saved and decoded.
    const bool bHead = (pData[0] & 0x80) != 0;
    const CFiles filesWhole = RunResponses(stream, stream.size(), bHead);
    const CFiles filesCut = RunResponses(stream, nCut, bHead);
    // The limit of a bomb grows with the coded bytes seen block by block, so where it stops
    // depends on the cut; and with two codings, which one is found broken first may too.
    const auto fnStopped = [](const CFiles& files) {
        for (const std::wstring& strNote : files.m_notes) {
            if (strNote.find(L": stopped after ") != std::wstring::npos) {
                return true;
            }
        }
        return false;
    };
    if (!fnStopped(filesWhole) && !fnStopped(filesCut)) {
        Check(filesWhole.m_files == filesCut.m_files);
        Check(filesWhole.m_notes.size() == filesCut.m_notes.size());
    }
    for (const auto& [strFile, content] : filesWhole.m_files) {
        // Text doubles the bytes (and adds the mark); a body without codings is as long as
        // the stream.
        Check(content.size() <= 2 * kLimits.nRatio * stream.size() + 2 * kLimits.nAllowance + 2);
    }

    // The decoders alone.
    static const char* const kCodings[] = {"gzip", "deflate", "br", "zstd"};
    std::vector<std::string> codings = {kCodings[(pData[0] >> 4) & 3]};
    if ((pData[0] & 0x40) != 0) {
        codings.insert(codings.begin(), kCodings[(pData[0] >> 1) & 3]);
    }
    const CDecoded decodedWhole = RunDecoder(codings, stream, stream.size());
    const CDecoded decodedCut = RunDecoder(codings, stream, nCut);
    Check(decodedWhole.bOk == decodedCut.bOk);
    Check(codings.size() > 1 || decodedWhole.strFailed == decodedCut.strFailed);
    if (decodedWhole.bOk) {
        Check(decodedWhole.strOut == decodedCut.strOut);
    }
    return 0;
}
