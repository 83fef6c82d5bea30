// Runs arbitrary bytes through the HTTP mode's request rewriting (with the URL parser and
// the naming of response files) and through the response header scan, each once whole and
// once cut into two blocks, checking that:
// - without rewriting, the request bytes come out unchanged, and the cut changes neither
//   the bytes nor the request targets found;
// - with rewriting, a stream without "Host: " and "Referer: " comes out unchanged;
// - every response file name lies inside the host's folder below the data folder;
// - the cut response gives the same body (text and binary) as the whole one.
//
// Input: one byte of options (bit 0: rewrite; bit 1: text after the request-side run is the
// host), two bytes of cut offset (low first), then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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

class CBody : public IResponseBody {
public:
    void OnBodyStart() override { ++m_nStarts; }
    void OnBodyText(std::string_view line) override {
        Check(!line.empty());
        m_strText += win::AnsiToWide(line);
    }
    void OnBodyBinary(std::string_view bytes) override { m_strBinary += bytes; }
    int m_nStarts = 0;
    std::wstring m_strText;
    std::string m_strBinary;
};

std::string RunRequests(std::string_view stream, std::size_t nCut, bool bReplace,
                        CHandler& handler) {
    CRequestRewriter rewriter;
    std::string out;
    rewriter.Feed(stream.substr(0, nCut), bReplace, true, handler, out);
    rewriter.Feed(stream.substr(nCut), bReplace, true, handler, out);
    return out;
}

CBody RunResponse(std::string_view stream, std::size_t nCut) {
    CResponseScan scan;
    CBody body;
    scan.Start();
    scan.Feed(stream.substr(0, nCut), body);
    scan.Feed(stream.substr(nCut), body);
    scan.Reset(body);
    return body;
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
    if (stream.find("Host: ") == std::string_view::npos &&
        stream.find("Referer: ") == std::string_view::npos) {
        Check(rewritten == stream);
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

    // The response.
    const CBody bodyWhole = RunResponse(stream, stream.size());
    const CBody bodyCut = RunResponse(stream, nCut);
    Check(bodyWhole.m_nStarts == bodyCut.m_nStarts && bodyWhole.m_nStarts <= 1);
    Check(bodyWhole.m_strText == bodyCut.m_strText);
    Check(bodyWhole.m_strBinary == bodyCut.m_strBinary);
    return 0;
}
