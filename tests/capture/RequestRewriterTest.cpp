#include "capture/RequestRewriter.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

namespace {

class CRecordingHandler : public IRequestHandler {
public:
    explicit CRecordingHandler(std::wstring strUrl = L"example.com", int nRemotePort = 0)
        : m_strUrl(std::move(strUrl)), m_nRemotePort(nRemotePort) {}
    std::wstring GetUrl() override {
        ++m_nUrlAsked;
        return m_strUrl;
    }
    int GetRemotePort() override { return m_nRemotePort; }
    void OnHeaderLineTooLong(std::size_t nBytes) override { m_tooLong.push_back(nBytes); }
    void OnRequestTarget(const std::wstring& strTarget) override { m_targets.push_back(strTarget); }

    std::wstring m_strUrl;
    int m_nRemotePort;
    int m_nUrlAsked = 0;
    std::vector<std::wstring> m_targets;
    std::vector<std::size_t> m_tooLong;
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

// The one header line that a request with `line` in it is sent with, for the URL box's text
// and the remote port.
std::string RewrittenLine(const std::string& line, const std::wstring& strUrl, int nPort) {
    CRecordingHandler handler(strUrl, nPort);
    const std::string out = Rewrite("GET / HTTP/1.1\r\n" + line + "\r\n\r\n", handler);
    const std::size_t nStart = out.find("\r\n") + 2;
    return out.substr(nStart, out.find("\r\n", nStart) - nStart);
}

TEST(RequestRewriterTest, HostLineNamesTheServerWithoutTheOldValue) {
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nHost: localhost:8080\r\nAccept: */*\r\n\r\n"));
    // A bare LF line end, too, becomes CR LF.
    EXPECT_EQ("GET / HTTP/1.1\nHost: example.com\r\n\n",
              Rewrite("GET / HTTP/1.1\nHost: localhost:8080\n\n"));
    // The name in any case, with or without a blank after the colon; the client's spelling
    // of the name stays.
    EXPECT_EQ("GET / HTTP/1.1\r\nhost: example.com\r\nHOST: example.com\r\n\r\n",
              Rewrite("GET / HTTP/1.1\r\nhost: localhost\r\nHOST:localhost\r\n\r\n"));
    // Not a Host header: a blank before the colon, a longer name.
    const std::string other = "GET / HTTP/1.1\r\nHost : a\r\nHost-Name: a\r\n\r\n";
    EXPECT_EQ(other, Rewrite(other));
}

TEST(RequestRewriterTest, HostHasThePortOnlyWhenItIsNotTheSchemesDefault) {
    // URL box, remote port, Host value.
    const std::vector<std::tuple<std::wstring, int, std::string>> cases = {
        {L"http://127.0.0.1", 80, "127.0.0.1"},
        {L"http://127.0.0.1/", 51627, "127.0.0.1:51627"},
        {L"127.0.0.1", 80, "127.0.0.1"},
        {L"127.0.0.1", 443, "127.0.0.1:443"},
        {L"https://example.com", 443, "example.com"},
        {L"HTTPS://example.com/x", 80, "example.com:80"},
        {L" example.com:8080 ", 0, "example.com:8080"},  // the port is not known yet
        {L"::1", 8080, "[::1]:8080"},
        {L"http://[2001:db8::7]:81/", 81, "[2001:db8::7]:81"},
        {L"2001:db8::7", 80, "[2001:db8::7]"},
    };
    for (const auto& [strUrl, nPort, strHost] : cases) {
        EXPECT_EQ("Host: " + strHost, RewrittenLine("Host: localhost:8080", strUrl, nPort))
            << strHost;
    }
}

TEST(RequestRewriterTest, AUrlWithoutAHostRewritesNothing) {
    for (const std::wstring& strUrl :
         {std::wstring(L"ftp://"), std::wstring(L"  "), std::wstring(L"evil\r\nX-Injected: 1")}) {
        EXPECT_EQ("Host: a", RewrittenLine("Host: a", strUrl, 80));
        EXPECT_EQ("Referer: http://localhost/",
                  RewrittenLine("Referer: http://localhost/", strUrl, 80));
    }
}

TEST(RequestRewriterTest, RefererAndOriginNamingThisMachineGetTheServersHostAndPort) {
    // The example of a browser aimed at the local port 51627 with the server on port 80.
    EXPECT_EQ("Referer: http://127.0.0.1/page",
              RewrittenLine("Referer: http://localhost:51627/page", L"http://127.0.0.1", 80));
    EXPECT_EQ("Origin: http://127.0.0.1",
              RewrittenLine("Origin: http://localhost:51627", L"http://127.0.0.1", 80));
    // The scheme and everything after the authority stay; the port follows the scheme of the
    // Referer itself.
    EXPECT_EQ("referer: https://example.com:8443/a/localhost/p?q=localhost#f",
              RewrittenLine("referer: https://LocalHost:8080/a/localhost/p?q=localhost#f",
                            L"example.com", 8443));
    EXPECT_EQ("Referer: https://example.com/",
              RewrittenLine("Referer: https://127.0.0.1:9/", L"example.com", 443));
    EXPECT_EQ("ORIGIN: http://[::1]:8080",
              RewrittenLine("ORIGIN: http://[::1]:51627", L"::1", 8080));
    EXPECT_EQ("Referer: http://example.com/x",
              RewrittenLine("Referer: http://app.localhost:3000/x", L"example.com", 80));
}

TEST(RequestRewriterTest, RefererOfAnotherSiteStays) {
    CRecordingHandler handler(L"example.com", 80);
    const std::string request =
        "GET / HTTP/1.1\r\nReferer: https://search.example.org/?q=localhost\r\n"
        "Origin: null\r\nReferer: localhost\r\nX-Other: http://localhost/\r\n\r\n";
    EXPECT_EQ(request, Rewrite(request, handler));
    EXPECT_EQ(0, handler.m_nUrlAsked);
}

TEST(RequestRewriterTest, RefererNamingTheHostTheClientUsedIsRewritten) {
    // A client on another machine reaches this one as "relay.lan:8080".
    CRecordingHandler handler(L"example.com", 80);
    EXPECT_EQ(
        "GET / HTTP/1.1\r\nHost: example.com\r\nReferer: http://example.com/a\r\n"
        "Origin: http://elsewhere.lan:8080\r\n\r\n"
        "GET / HTTP/1.1\r\nReferer: http://relay.lan:8080/b\r\n\r\n",
        Rewrite("GET / HTTP/1.1\r\nHost: relay.lan:8080\r\nReferer: http://RELAY.lan:8080/a\r\n"
                "Origin: http://elsewhere.lan:8080\r\n\r\n"
                // the next request has no Host line: the last one's name is forgotten
                "GET / HTTP/1.1\r\nReferer: http://relay.lan:8080/b\r\n\r\n",
                handler));
}

TEST(RequestRewriterTest, BytesAroundTheRewrittenWordStayBytes) {
    // Bytes that are not UTF-8 and a zero byte around the word survive the rewriting.
    const std::string line = "Referer: http://localhost/" + std::string("\xff\xfe\0\x80\r\n", 6);
    EXPECT_EQ(
        "GET / HTTP/1.1\r\nReferer: http://example.com/" + std::string("\xff\xfe\0\x80\r\n", 6),
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

// Two pipelined requests with every header that is rewritten, a body, and lines around
// them that must stay.
const std::string kPipelined =
    "POST /form?q=1 HTTP/1.1\r\nHost: localhost:51627\r\nUser-Agent: t\r\n"
    "Referer: http://localhost:51627/page\r\nOrigin: http://localhost:51627\r\n"
    "Content-Length: 14\r\n\r\nHost: the body"
    "GET /next HTTP/1.1\r\nhost: localhost:51627\r\nreferer: http://localhost:51627/form\r\n"
    "Accept: */*\r\n\r\n";
const std::string kPipelinedSent =
    "POST /form?q=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: t\r\n"
    "Referer: http://127.0.0.1/page\r\nOrigin: http://127.0.0.1\r\n"
    "Content-Length: 14\r\n\r\nHost: the body"
    "GET /next HTTP/1.1\r\nhost: 127.0.0.1\r\nreferer: http://127.0.0.1/form\r\n"
    "Accept: */*\r\n\r\n";
const std::vector<std::wstring> kPipelinedTargets = {L"/form?q=1", L"/next"};

TEST(RequestRewriterTest, EveryCutOfPipelinedRequestsGivesTheSameBytes) {
    {
        CRecordingHandler handler(L"http://127.0.0.1", 80);
        ASSERT_EQ(kPipelinedSent, Rewrite(kPipelined, handler));
        ASSERT_EQ(kPipelinedTargets, handler.m_targets);
    }
    // Every one cut and every pair of cuts.
    for (std::size_t nFirst = 1; nFirst < kPipelined.size(); ++nFirst) {
        for (std::size_t nSecond = nFirst; nSecond < kPipelined.size(); ++nSecond) {
            CRecordingHandler handler(L"http://127.0.0.1", 80);
            const std::string out = Rewrite(kPipelined, handler, true, true, {nFirst, nSecond});
            ASSERT_EQ(kPipelinedSent, out) << nFirst << " " << nSecond;
            ASSERT_EQ(kPipelinedTargets, handler.m_targets) << nFirst << " " << nSecond;
        }
    }
}

TEST(RequestRewriterTest, ARequestSentByteByByteIsRewritten) {
    CRecordingHandler handler(L"http://127.0.0.1", 80);
    std::vector<std::size_t> cuts;
    for (std::size_t n = 1; n < kPipelined.size(); ++n) {
        cuts.push_back(n);
    }
    EXPECT_EQ(kPipelinedSent, Rewrite(kPipelined, handler, true, true, cuts));
    EXPECT_EQ(kPipelinedTargets, handler.m_targets);
}

TEST(RequestRewriterTest, OnlyAHeaderLineThatMayBeRewrittenIsHeldBack) {
    CRequestRewriter rewriter;
    CRecordingHandler handler(L"example.com", 80);
    std::string out;
    // A request line in progress passes at once, as does anything that is not HTTP.
    rewriter.Feed("GET / HT", true, false, handler, out);
    EXPECT_EQ("GET / HT", out);
    EXPECT_FALSE(rewriter.IsHolding());
    rewriter.Feed("TP/1.1\r\nAccept: te", true, false, handler, out);
    EXPECT_EQ("GET / HTTP/1.1\r\nAccept: te", out);
    rewriter.Feed("xt\r\nRef", true, false, handler, out);
    EXPECT_EQ("GET / HTTP/1.1\r\nAccept: text\r\n", out);
    EXPECT_TRUE(rewriter.IsHolding());
    // "Refresh" cannot be "Referer": the line goes on at once, unchanged.
    rewriter.Feed("resh: 1", true, false, handler, out);
    EXPECT_FALSE(rewriter.IsHolding());
    EXPECT_EQ("GET / HTTP/1.1\r\nAccept: text\r\nRefresh: 1", out);
    rewriter.Feed("\r\nHost: loc", true, false, handler, out);
    EXPECT_TRUE(rewriter.IsHolding());
    // The stream ends: what is held goes out as it came.
    rewriter.Flush(out);
    EXPECT_FALSE(rewriter.IsHolding());
    EXPECT_EQ("GET / HTTP/1.1\r\nAccept: text\r\nRefresh: 1\r\nHost: loc", out);
    rewriter.Feed("alhost\r\n", true, false, handler, out);
    EXPECT_EQ("GET / HTTP/1.1\r\nAccept: text\r\nRefresh: 1\r\nHost: localhost\r\n", out);

    // Without "Replace host header" nothing is held.
    CRequestRewriter off;
    std::string offOut;
    off.Feed("GET / HTTP/1.1\r\nHost: loc", false, true, handler, offOut);
    EXPECT_FALSE(off.IsHolding());
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: loc", offOut);
    // Not HTTP: never held, whatever it looks like.
    CRequestRewriter binary;
    std::string binaryOut;
    const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    binary.Feed(hello, true, true, handler, binaryOut);
    binary.Feed("Host: x", true, true, handler, binaryOut);
    EXPECT_FALSE(binary.IsHolding());
    EXPECT_EQ(hello + "Host: x", binaryOut);
}

TEST(RequestRewriterTest, AnOverlongHeaderLinePassesUnchangedWithItsRequest) {
    const std::string huge(CRequestRewriter::kMaxHeldLine + 10, 'a');
    const std::string stream = "GET / HTTP/1.1\r\nReferer: http://localhost/" + huge +
                               "\r\nHost: localhost\r\n\r\n"
                               "GET /2 HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const std::string sent = "GET / HTTP/1.1\r\nReferer: http://localhost/" + huge +
                             "\r\nHost: localhost\r\n\r\n"
                             "GET /2 HTTP/1.1\r\nHost: example.com\r\n\r\n";
    for (std::size_t nCut : {std::size_t{20}, std::size_t{30000}, stream.size() - 60}) {
        CRecordingHandler handler(L"example.com", 80);
        CRequestRewriter rewriter;
        std::string out;
        rewriter.Feed(std::string_view(stream).substr(0, nCut), true, false, handler, out);
        // Never more than the limit is held back.
        EXPECT_LE(nCut - out.size(), CRequestRewriter::kMaxHeldLine) << nCut;
        rewriter.Feed(std::string_view(stream).substr(nCut), true, false, handler, out);
        EXPECT_EQ(sent, out) << nCut;
        EXPECT_EQ(1u, handler.m_tooLong.size()) << nCut;
    }
    // A line just within the limit is still rewritten, however it is cut.
    const std::string fits = "GET / HTTP/1.1\r\nReferer: http://localhost/" +
                             std::string(CRequestRewriter::kMaxHeldLine - 60, 'b') + "\r\n\r\n";
    CRecordingHandler handler(L"example.com", 80);
    const std::string out = Rewrite(fits, handler, true, false, {30, 40000});
    EXPECT_NE(std::string::npos, out.find("Referer: http://example.com/bbb"));
    EXPECT_TRUE(handler.m_tooLong.empty());
}

TEST(RequestRewriterTest, TheEmptyLineCutInTwoStillEndsTheHeaders) {
    // The body is not taken for headers; a request line cut in two still names its file.
    CRecordingHandler handler;
    const std::string post = "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nHost: x\r\n";
    const std::size_t nInEmpty = post.find("\r\n\r\n") + 3;
    EXPECT_EQ(post, Rewrite(post, handler, true, true, {nInEmpty}));
    EXPECT_EQ(post, Rewrite(post, handler, true, true, {5}));
    EXPECT_EQ((std::vector<std::wstring>{L"/", L"/"}), handler.m_targets);
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
