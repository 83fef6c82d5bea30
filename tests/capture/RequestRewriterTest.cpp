#include "capture/RequestRewriter.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

class CRecordingHandler : public IRequestHandler {
public:
    explicit CRecordingHandler(std::wstring strUrl = L"example.com")
        : m_strUrl(std::move(strUrl)) {}
    std::wstring GetUrl() override {
        ++m_nUrlAsked;
        return m_strUrl;
    }
    void OnRequestTarget(const std::wstring& strTarget) override { m_targets.push_back(strTarget); }

    std::wstring m_strUrl;
    int m_nUrlAsked = 0;
    std::vector<std::wstring> m_targets;
};

// The stream through one rewriter, cut into blocks at the given offsets.
std::string Rewrite(std::string_view stream, CRecordingHandler& handler, bool bReplaceHost = true,
                    bool bSaveResponse = true, std::vector<std::size_t> cuts = {}) {
    CRequestRewriter rewriter;
    std::string out;
    std::size_t nPos = 0;
    cuts.push_back(stream.size());
    for (std::size_t nCut : cuts) {
        rewriter.Feed(stream.substr(nPos, nCut - nPos), bReplaceHost, bSaveResponse, handler, out);
        nPos = nCut;
    }
    return out;
}

std::string Rewrite(std::string_view stream, bool bReplaceHost = true) {
    CRecordingHandler handler;
    return Rewrite(stream, handler, bReplaceHost);
}

TEST(RequestRewriterTest, HostLineNamesTheUrlWithoutPortOrOldValue) {
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nHost: localhost:8080\r\nAccept: */*\r\n\r\n"));
    // A bare LF line end, too, becomes CR LF.
    EXPECT_EQ("GET / HTTP/1.1\nHost: example.com\r\n\n",
              Rewrite("GET / HTTP/1.1\nHost: localhost:8080\n\n"));
    // Exact case and one blank: other spellings pass unchanged.
    const std::string other = "GET / HTTP/1.1\r\nhost: localhost\r\nHost:localhost\r\n\r\n";
    EXPECT_EQ(other, Rewrite(other));
}

TEST(RequestRewriterTest, UrlIsTakenAsTypedWithoutItsLineBreaks) {
    CRecordingHandler handler(L"http://example.com");
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: http://example.com\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n", handler));
    EXPECT_EQ(1, handler.m_nUrlAsked);
    CRecordingHandler injecting(L"evil\r\nX-Injected: 1");
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: evilX-Injected: 1\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nHost: a\r\n\r\n", injecting));
}

TEST(RequestRewriterTest, Ipv6AddressInTheHostLineIsPutInBrackets) {
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost:8080\r\n"
                                "Referer: http://localhost:8080/a\r\n\r\n";
    const std::vector<std::pair<std::wstring, std::string>> cases = {
        {L"::1", "[::1]"},
        {L"2001:db8::7", "[2001:db8::7]"},
        {L"http://::1", "http://[::1]"},
        {L"[::1]", "[::1]"},                // already in brackets
        {L"[::1]:8080", "[::1]:8080"},      // with its port
        {L"127.0.0.1", "127.0.0.1"},        // IPv4 and names as typed
        {L"example.com:81", "example.com:81"},
    };
    for (const auto& [strUrl, strHost] : cases) {
        CRecordingHandler handler(strUrl);
        EXPECT_EQ("GET / HTTP/1.1\r\nHost: " + strHost + "\r\nReferer: http://" + strHost +
                      ":8080/a\r\n\r\n",
                  Rewrite(request, handler))
            << strHost;
    }
}

TEST(RequestRewriterTest, RefererKeepsAllButItsLastLocalhost) {
    EXPECT_EQ("GET / HTTP/1.1\r\nReferer: http://example.com:8080/a/b?c=d\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nReferer: http://LocalHost:8080/a/b?c=d\r\n\r\n"));
    EXPECT_EQ("GET / HTTP/1.1\r\nReferer: http://localhost:8080/example.com/x\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nReferer: http://localhost:8080/LOCALHOST/x\r\n\r\n"));
    // No localhost, or another header name: unchanged, and the URL is not even asked for.
    CRecordingHandler handler;
    const std::string plain =
        "GET / HTTP/1.1\r\nReferer: http://other/\r\nreferer: http://localhost/\r\n\r\n";
    EXPECT_EQ(plain, Rewrite(plain, handler));
    EXPECT_EQ(0, handler.m_nUrlAsked);
}

TEST(RequestRewriterTest, BytesAroundTheRewrittenWordStayBytes) {
    // Bytes that are not UTF-8 and a zero byte around the word survive the rewriting.
    const std::string line = std::string("Referer: \xff\xfe\0", 12) + "localhost\x80\r\n";
    EXPECT_EQ("GET / HTTP/1.1\r\n" + std::string("Referer: \xff\xfe\0", 12) + "example.com\x80\r\n",
              Rewrite("GET / HTTP/1.1\r\n" + line));
}

TEST(RequestRewriterTest, OnlyHeaderLinesOfRequestsAreRewritten) {
    // A body of Content-Length bytes, a chunked body and something that is not HTTP all hold
    // lines that look like Host lines; none of them changes. The requests after them do.
    const std::string body = std::string("Host: body\r\n\0\xff", 14) + "Referer: localhost\r\n";
    const std::string stream =
        "POST /up HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body +
        "POST /chunks HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
        "c\r\nHost: chunk\n\r\n0\r\nX-Trailer: 1\r\n\r\n"
        "GET /last HTTP/1.1\r\nHost: a\r\n\r\n"
        "Host: not a request\r\n";
    const std::string expected =
        "POST /up HTTP/1.1\r\nHost: example.com\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body +
        "POST /chunks HTTP/1.1\r\nHost: example.com\r\nTransfer-Encoding: chunked\r\n\r\n"
        "c\r\nHost: chunk\n\r\n0\r\nX-Trailer: 1\r\n\r\n"
        "GET /last HTTP/1.1\r\nHost: example.com\r\n\r\n"
        "Host: not a request\r\n";
    CRecordingHandler handler;
    EXPECT_EQ(expected, Rewrite(stream, handler));
    EXPECT_EQ((std::vector<std::wstring>{L"/up", L"/chunks", L"/last"}), handler.m_targets);
}

TEST(RequestRewriterTest, WithoutRewritingEveryCutGivesTheSameBytesAndTargets) {
    std::mt19937 rng(11);
    std::string binary(3000, '\0');
    for (char& c : binary) {
        c = static_cast<char>(rng());
    }
    const std::string stream =
        "GET /a/b.html HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /form?q=1 HTTP/1.1\r\nContent-Length: " +
        std::to_string(binary.size()) + "\r\n\r\n" + binary + "get /c HTTP/1.0\r\n\r\n";
    CRecordingHandler whole;
    ASSERT_EQ(stream, Rewrite(stream, whole, false));
    ASSERT_EQ((std::vector<std::wstring>{L"/a/b.html", L"/form?q=1", L"/c"}), whole.m_targets);
    for (std::size_t nCut = 1; nCut < stream.size(); nCut += 7) {
        CRecordingHandler handler;
        EXPECT_EQ(stream, Rewrite(stream, handler, false, true, {nCut}));
        EXPECT_EQ(whole.m_targets, handler.m_targets) << nCut;
    }
}

TEST(RequestRewriterTest, ALineCutAcrossBlocksIsFollowedButPassedAsItCame) {
    const std::string stream =
        "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"
        "GET /2 HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const std::size_t nInHost = stream.find("Host") + 2;
    CRecordingHandler handler;
    EXPECT_EQ(
        "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"
        "GET /2 HTTP/1.1\r\nHost: example.com\r\n\r\n",
        Rewrite(stream, handler, true, true, {nInHost}));
    // The empty line cut between its CR and LF still ends the headers: the body is not
    // taken for headers.
    const std::string post = "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nHost: x\r\n";
    const std::size_t nInEmpty = post.find("\r\n\r\n") + 3;
    EXPECT_EQ(post, Rewrite(post, handler, true, true, {nInEmpty}));
    // A request line cut in two still names its file.
    EXPECT_EQ((std::vector<std::wstring>{L"/", L"/2", L"/"}), handler.m_targets);
}

TEST(RequestRewriterTest, KnowsWhetherABlockGoesOnWithARequest) {
    CRequestRewriter rewriter;
    CRecordingHandler handler;
    std::string out;
    EXPECT_TRUE(rewriter.IsBetweenRequests());
    rewriter.Feed("POST /up HTTP/1.1\r\nContent-Length: 6\r\n", false, true, handler, out);
    EXPECT_EQ(CRequestRewriter::State::Headers, rewriter.GetState());
    rewriter.Feed("\r\nabc", false, true, handler, out);
    EXPECT_EQ(CRequestRewriter::State::Body, rewriter.GetState());
    EXPECT_FALSE(rewriter.IsBetweenRequests());
    rewriter.Feed("def", false, true, handler, out);
    EXPECT_TRUE(rewriter.IsBetweenRequests());
    rewriter.Feed("GET / HTTP/1.1\r\n", false, true, handler, out);
    EXPECT_FALSE(rewriter.IsBetweenRequests());
    rewriter.Restart();
    EXPECT_TRUE(rewriter.IsBetweenRequests());
    // A chunk size that is no number: the body's end is unknown, the next lines are looked
    // at as the start of requests again.
    rewriter.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, true,
                  handler, out);
    EXPECT_TRUE(rewriter.IsBetweenRequests());
}

TEST(RequestRewriterTest, OnlyGetAndPostLinesNameAFile) {
    CRecordingHandler handler;
    Rewrite(
        "HEAD /h HTTP/1.1\r\n\r\nOPTIONS * HTTP/1.1\r\n\r\nGET /a HTTP/1.1\r\n\r\n"
        "post /b?x=1 http/1.1\r\n\r\nGET /c/ HTTP/1.1 HTTP/1.0\r\n\r\n",
        handler);
    EXPECT_EQ((std::vector<std::wstring>{L"/a", L"/b?x=1", L"/c/ HTTP/1.1"}), handler.m_targets);
    // With Save Response off nothing is named.
    CRecordingHandler off;
    Rewrite("GET /a HTTP/1.1\r\n\r\n", off, true, false);
    EXPECT_TRUE(off.m_targets.empty());
}

TEST(ResponseFilePathTest, JoinsFolderHostAndPath) {
    EXPECT_EQ(L"/data/example.com/img/logo.png",
              ResponseFilePath(L"/data", L"example.com", L"/img/logo.png"));
    EXPECT_EQ(L"/data/example.com/img/logo.png",
              ResponseFilePath(L"/data/", L"example.com", L"/img/logo.png"));
    EXPECT_EQ(L"/data/example.com/DefaultPage.txt",
              ResponseFilePath(L"/data", L"example.com", L"/"));
    EXPECT_EQ(L"/data/example.com/dir/DefaultPage.txt",
              ResponseFilePath(L"/data", L"example.com", L"/dir/"));
    EXPECT_EQ(L"/data/example.com/form", ResponseFilePath(L"/data", L"example.com", L"/form?x=1"));
    EXPECT_EQ(L"example.com/a", ResponseFilePath(L"", L"example.com", L"/a"));
    // A proxy request: the target's host becomes a folder of the path.
    EXPECT_EQ(L"/data/h/other.org/x", ResponseFilePath(L"/data", L"h", L"http://other.org/x"));
}

TEST(ResponseFilePathTest, TargetsThatNameNoFile) {
    EXPECT_FALSE(ResponseFilePath(L"/data", L"h", L""));
    EXPECT_FALSE(ResponseFilePath(L"/data", L"h", L"*"));
    EXPECT_FALSE(ResponseFilePath(L"/data", L"h", L"?only=query"));
    EXPECT_FALSE(ResponseFilePath(L"/data", L"h", L"/" + std::wstring(2048, L'a')));
}

TEST(ResponseFilePathTest, DotSegmentsNeverLeaveTheHostFolder) {
    EXPECT_EQ(L"/data/h/x", ResponseFilePath(L"/data", L"h", L"/../../x"));
    EXPECT_EQ(L"/data/h/a/x", ResponseFilePath(L"/data", L"h", L"/a/../../../x"));
    EXPECT_EQ(L"/data/h/a/b", ResponseFilePath(L"/data", L"h", L"/./a//./b"));
    EXPECT_EQ(L"/data/h/DefaultPage.txt", ResponseFilePath(L"/data", L"h", L"/.."));
    EXPECT_EQ(L"/data/h/a/DefaultPage.txt", ResponseFilePath(L"/data", L"h", L"/a/."));
    // Escaped dots are names, not dots.
    EXPECT_EQ(L"/data/h/%2e%2e/x", ResponseFilePath(L"/data", L"h", L"/%2e%2e/x"));
    // A zero character cannot cut the name short into a ".." of its own.
    EXPECT_EQ(std::wstring(L"/data/h/.._/x"),
              ResponseFilePath(L"/data", L"h", std::wstring(L"/..\0/x", 6)));
}

TEST(ResponseFilePathTest, TheHostIsOneFolderName) {
    EXPECT_EQ(L"/data/.._.._etc/x", ResponseFilePath(L"/data", L"../../etc", L"/x"));
    EXPECT_EQ(L"/data/__/x", ResponseFilePath(L"/data", L"..", L"/x"));
    EXPECT_EQ(L"/data/_/x", ResponseFilePath(L"/data", L".", L"/x"));
    EXPECT_EQ(L"/data/a_b/x", ResponseFilePath(L"/data", L"a/b", L"/x"));
    EXPECT_EQ(L"/data/a..b/x", ResponseFilePath(L"/data", L"a..b", L"/x"));
    EXPECT_EQ(L"/data/x", ResponseFilePath(L"/data", L"", L"/x"));
}

}  // namespace
