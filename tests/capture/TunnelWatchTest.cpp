// The decision whether a connection has switched protocols, fed as the relay feeds it.
#include "capture/TunnelWatch.h"

#include <gtest/gtest.h>

#include "capture/RequestRewriter.h"

namespace {

using Request = CTunnelWatch::Request;

// Feeds `answer` cut at every offset into two blocks; whether each ends as a tunnel.
void ExpectEveryCut(Request kind, const std::string& answer, bool bTunnel) {
    for (std::size_t nCut = 0; nCut <= answer.size(); ++nCut) {
        CTunnelWatch watch;
        watch.OnRequest(kind);
        watch.OnResponse(std::string_view(answer).substr(0, nCut));
        watch.OnResponse(std::string_view(answer).substr(nCut));
        EXPECT_EQ(bTunnel, watch.IsTunnel()) << answer << " cut at " << nCut;
    }
}

TEST(TunnelWatchTest, SwitchingAnswersMakeATunnelWhereverTheBlocksAreCut) {
    ExpectEveryCut(Request::Upgrade, "HTTP/1.1 101 Switching Protocols\r\n\r\n\x81\x05", true);
    ExpectEveryCut(Request::Connect, "HTTP/1.1 200 Connection established\r\n\r\n", true);
    ExpectEveryCut(Request::Connect, "HTTP/1.0 204\r\n\r\n", true);
    // An interim answer first: its headers are skipped, the answer after it decides.
    ExpectEveryCut(Request::Upgrade,
                   "HTTP/1.1 100 Continue\r\nX: HTTP/1.1 200\r\n\r\nHTTP/1.1 101 OK\r\n\r\n", true);
}

TEST(TunnelWatchTest, OtherAnswersEndTheWait) {
    ExpectEveryCut(Request::Upgrade, "HTTP/1.1 200 OK\r\n\r\nHTTP/1.1 101 x\r\n", false);
    ExpectEveryCut(Request::Connect, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false);
    ExpectEveryCut(Request::Connect, "HTTP/1.1 101 Switching\r\n\r\nHTTP/1.1 200 OK\r\n", true);
    ExpectEveryCut(Request::Upgrade, "garbage\r\nHTTP/1.1 101 x\r\n", false);
    ExpectEveryCut(Request::Upgrade, "HTTP/1.1 1010 x\r\n", false);
    ExpectEveryCut(Request::None, "HTTP/1.1 101 Switching Protocols\r\n\r\n", false);

    CTunnelWatch watch;
    watch.OnRequest(Request::Upgrade);
    watch.OnResponse("HTTP/1.1 200 OK\r\n");
    EXPECT_FALSE(watch.IsWaiting());
    watch.OnResponse("HTTP/1.1 101 late\r\n");  // no longer awaited
    EXPECT_FALSE(watch.IsTunnel());
}

TEST(TunnelWatchTest, ATunnelStaysOne) {
    CTunnelWatch watch;
    watch.OnRequest(Request::Upgrade);
    watch.OnResponse("HTTP/1.1 101 Switching Protocols\r\n");
    ASSERT_TRUE(watch.IsTunnel());
    watch.OnRequest(Request::Connect);
    watch.OnResponse("HTTP/1.1 500 x\r\n");
    EXPECT_TRUE(watch.IsTunnel());
}

TEST(TunnelWatchTest, RewriterReportsRequestsThatMaySwitch) {
    struct CHandler : IRequestHandler {
        std::wstring GetUrl() override { return L"example.com"; }
        void OnRequestTarget(const std::wstring&) override {}
    } handler;
    CRequestRewriter rewriter;
    std::string out;
    rewriter.Feed("GET / HTTP/1.1\r\nHost: a\r\n\r\n", true, false, handler, out);
    EXPECT_EQ(Request::None, rewriter.TakeSwitchRequest());
    // The header lines end in the second block.
    rewriter.Feed("GET /ws HTTP/1.1\r\nupgrade: websocket\r\n", true, false, handler, out);
    EXPECT_EQ(Request::None, rewriter.TakeSwitchRequest());
    rewriter.Feed("\r\n", true, false, handler, out);
    EXPECT_EQ(Request::Upgrade, rewriter.TakeSwitchRequest());
    EXPECT_EQ(Request::None, rewriter.TakeSwitchRequest());  // taken
    rewriter.Feed("CONNECT example.org:443 HTTP/1.1\r\nHost: x\r\n\r\n", true, false, handler, out);
    EXPECT_EQ(Request::Connect, rewriter.TakeSwitchRequest());
    // An Upgrade line inside a body is a body byte, not a header.
    rewriter.Feed("POST /p HTTP/1.1\r\nContent-Length: 20\r\n\r\nUpgrade: websocket\r\n", true,
                  false, handler, out);
    EXPECT_EQ(Request::None, rewriter.TakeSwitchRequest());
}

}  // namespace
