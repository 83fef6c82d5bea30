// Network conditions on real loopback transfers through the relay: what the peers see,
// what the log says, and how fast a stop ends a delayed session. Tight accuracy figures are
// the benchmark's (bench/netcond_accuracy.sh); the bounds here only catch a condition that
// does not act or acts far off.
#include <algorithm>
#include <cstring>

#include "RelayFixture.h"
#include "capture/NetConditionsParser.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class NetConditionsRelayTest : public test::RelayFixture {
protected:
    void Set(std::initializer_list<std::pair<const char*, const char*>> options) {
        CNetConditions c;
        for (const auto& [name, value] : options) {
            std::string strError;
            ASSERT_TRUE(ApplyNetConditionOption(name, value, c, &strError)) << strError;
        }
        SetActiveNetConditions(c);
    }
    void TearDown() override {
        SetActiveNetConditions(CNetConditions());
        RelayFixture::TearDown();
    }
    // Whether some log row contains `text`.
    bool LogHas(const std::wstring& text) {
        return test::WaitUntil([&] {
            for (const test::CLogRow& row : m_log.Rows()) {
                if (row.text.find(text) != std::wstring::npos) {
                    return true;
                }
            }
            return false;
        });
    }
    int CountLog(const std::wstring& text) {
        int n = 0;
        for (const test::CLogRow& row : m_log.Rows()) {
            n += row.text.find(text) != std::wstring::npos ? 1 : 0;
        }
        return n;
    }
};

// A client that expects each message whole in one read: "LEN:" and a payload. It reports
// every read it made, so that a message split across reads shows.
struct CWholeMessageParser {
    std::vector<std::size_t> reads;
    int nWhole = 0;
    int nSplit = 0;
    void Read(int fd, std::size_t nTotal) {
        std::size_t nGot = 0;
        char buffer[4096];
        while (nGot < nTotal) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 5000) <= 0) {
                return;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return;
            }
            reads.push_back(static_cast<std::size_t>(n));
            nGot += static_cast<std::size_t>(n);
            const std::string_view text(buffer, static_cast<std::size_t>(n));
            const std::size_t nColon = text.find(':');
            if (nColon != std::string_view::npos &&
                std::to_string(text.size() - nColon - 1) == text.substr(0, nColon)) {
                ++nWhole;
            } else {
                ++nSplit;
            }
        }
    }
};

TEST_F(NetConditionsRelayTest, SlicingSplitsAMessageIntoExactPiecesThatAParserNotices) {
    const std::string message = "26:abcdefghijklmnopqrstuvwxyz";  // 29 bytes
    test::CTestServer server([&](int fd) {
        test::SendAllPosix(fd, message);
        test::ReceiveAllPosix(fd);
    });
    // The same parser reads it whole without slicing.
    {
        const std::uint16_t nLocal = StartListening(server.Port());
        const int fd = test::ConnectPosix(nLocal);
        CWholeMessageParser parser;
        parser.Read(fd, message.size());
        ::close(fd);
        EXPECT_EQ(1, parser.nWhole);
        EXPECT_EQ(0, parser.nSplit);
        ToggleListening(false);
    }
    Set({{"slice", "down:8:30"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    CWholeMessageParser parser;
    parser.Read(fd, message.size());
    ::close(fd);
    EXPECT_EQ(0, parser.nWhole);
    EXPECT_EQ(4, parser.nSplit);
    EXPECT_EQ((std::vector<std::size_t>{8, 8, 8, 5}), parser.reads);
    EXPECT_TRUE(LogHas(L"sliced into pieces of 8 bytes, 30 ms apart (server to client)"));
}

TEST_F(NetConditionsRelayTest, LatencyDelaysEveryRoundTripAndIsLoggedOnce) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    Set({{"latency", "up:40"}, {"latency", "down:20"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    std::vector<Clock::duration> rtts;
    for (int i = 0; i < 8; ++i) {
        const auto start = Clock::now();
        ASSERT_TRUE(test::SendAllPosix(fd, "ping"));
        ASSERT_EQ("ping", test::ReceiveExactlyPosix(fd, 4));
        rtts.push_back(Clock::now() - start);
    }
    ::close(fd);
    std::sort(rtts.begin(), rtts.end());
    EXPECT_GE(rtts.front(), 60ms);
    EXPECT_LT(rtts[rtts.size() / 2], 60ms + 25ms);
    EXPECT_TRUE(LogHas(L"Session 0: delayed 40 ms (client to server)"));
    EXPECT_TRUE(LogHas(L"Session 0: delayed 20 ms (server to client)"));
    EXPECT_EQ(1, CountLog(L"delayed 40 ms"));
}

TEST_F(NetConditionsRelayTest, BandwidthLimitsADownload) {
    const std::string data = test::Pattern(300000);
    test::CTestServer server([&](int fd) {
        test::SendAllPosix(fd, data);
        test::ReceiveAllPosix(fd);
    });
    Set({{"bandwidth", "down:400"}});  // 0.75 s for 300 kB
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    const auto start = Clock::now();
    EXPECT_EQ(data, test::ReceiveExactlyPosix(fd, data.size()));
    const auto elapsed = Clock::now() - start;
    ::close(fd);
    EXPECT_GE(elapsed, 650ms);
    EXPECT_LT(elapsed, 1100ms);
    EXPECT_TRUE(LogHas(L"Session 0: limited to 400 KB/s (server to client)"));
}

TEST_F(NetConditionsRelayTest, CutAfterClosesInOrderAfterExactlyItsBytes) {
    const std::string data = test::Pattern(100000);
    test::CTestServer server([&](int fd) {
        test::SendAllPosix(fd, data);
        test::ReceiveAllPosix(fd);
    });
    Set({{"cut-after", "down:65536"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    std::string got;
    char buffer[65536];
    ssize_t n = 0;
    while (test::WaitUntil([&] {
               pollfd pfd{fd, POLLIN, 0};
               return ::poll(&pfd, 1, 0) > 0;
           }) &&
           (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(0, n) << "an orderly end, not " << std::strerror(errno);
    EXPECT_EQ(data.substr(0, 65536), got);
    ::close(fd);
    EXPECT_TRUE(LogHas(L"Session 0: cut after 65536 bytes: close (server to client)"));
}

TEST_F(NetConditionsRelayTest, CutAfterResetsBothPeers) {
    std::atomic<bool> bServerReset{false};
    test::CTestServer server([&](int fd) {
        // The client's upload is cut: the server sees a reset, not an orderly end.
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        }
        bServerReset = n < 0 && errno == ECONNRESET;
    });
    Set({{"cut-after", "up:1000:reset"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    test::SendAllPosix(fd, test::Pattern(5000));
    char c = 0;
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_GT(::poll(&pfd, 1, 5000), 0);
    EXPECT_EQ(-1, ::recv(fd, &c, 1, 0));
    EXPECT_EQ(ECONNRESET, errno);
    ::close(fd);
    EXPECT_TRUE(LogHas(L"Session 0: cut after 1000 bytes: reset (client to server)"));
    EXPECT_TRUE(test::WaitUntil([&] { return bServerReset.load(); }));
}

TEST_F(NetConditionsRelayTest, ResetShareOfAllResetsEveryConnectionAndOfNoneNone) {
    std::atomic<int> nServerConnections{0};
    test::CTestServer server([&](int fd) {
        ++nServerConnections;
        test::EchoPosix(fd, 2000);
    });
    Set({{"reset-share", "down:100"}});
    std::uint16_t nLocal = StartListening(server.Port());
    for (int i = 0; i < 5; ++i) {
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_GE(fd, 0);
        char c = 0;
        pollfd pfd{fd, POLLIN, 0};
        ASSERT_GT(::poll(&pfd, 1, 5000), 0);
        EXPECT_EQ(-1, ::recv(fd, &c, 1, 0));
        EXPECT_EQ(ECONNRESET, errno);
        ::close(fd);
    }
    EXPECT_EQ(0, nServerConnections.load()) << "the server is never contacted";
    EXPECT_TRUE(LogHas(L"reset at the start, one of 100 % of connections (server to client)"));
    ToggleListening(false);

    // 0 %, with another condition on so that the sessions do run under conditions.
    Set({{"reset-share", "0"}, {"latency", "1"}});
    nLocal = StartListening(server.Port());
    for (int i = 0; i < 10; ++i) {
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_TRUE(test::SendAllPosix(fd, "hi"));
        EXPECT_EQ("hi", test::ReceiveExactlyPosix(fd, 2));
        ::close(fd);
    }
    EXPECT_EQ(10, nServerConnections.load());
}

TEST_F(NetConditionsRelayTest, UpResetShareOpensTheServerConnectionThenResetsIt) {
    std::atomic<bool> bServerReset{false};
    test::CTestServer server([&](int fd) {
        char c = 0;
        pollfd pfd{fd, POLLIN, 0};
        bServerReset = ::poll(&pfd, 1, 5000) > 0 && ::recv(fd, &c, 1, 0) < 0 && errno == ECONNRESET;
    });
    Set({{"reset-share", "up:100"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    // The relay looks at the client's first bytes (for TLS) before it goes on.
    ASSERT_TRUE(test::SendAllPosix(fd, "hi"));
    char c = 0;
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_GT(::poll(&pfd, 1, 5000), 0);
    EXPECT_EQ(-1, ::recv(fd, &c, 1, 0));
    EXPECT_EQ(ECONNRESET, errno);
    ::close(fd);
    EXPECT_TRUE(test::WaitUntil([&] { return bServerReset.load(); }));
    EXPECT_TRUE(LogHas(L"reset at the start, one of 100 % of connections (client to server)"));
}

TEST_F(NetConditionsRelayTest, AStopEndsASessionInALongDelayPromptly) {
    test::CTestServer server([](int fd) {
        test::SendAllPosix(fd, "held back for a minute");
        test::ReceiveAllPosix(fd);
    });
    Set({{"latency", "down:60000"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\n0--->---"));  // the block is in the log and waits
    const auto start = Clock::now();
    ToggleListening(false);
    EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 2s));
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ("", test::ReceiveAllPosix(fd)) << "the delayed block never arrives";
    ::close(fd);
}

TEST_F(NetConditionsRelayTest, SessionsKeepTheConditionsTheyStartedWith) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 3000); });
    Set({{"latency", "150"}});
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fdSlow = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 starts."));
    SetActiveNetConditions(CNetConditions());
    const int fdFast = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 1 starts."));
    auto roundTrip = [](int fd) {
        const auto start = Clock::now();
        test::SendAllPosix(fd, "x");
        EXPECT_EQ("x", test::ReceiveExactlyPosix(fd, 1));
        return Clock::now() - start;
    };
    EXPECT_GE(roundTrip(fdSlow), 300ms);
    EXPECT_LT(roundTrip(fdFast), 100ms);
    ::close(fdSlow);
    ::close(fdFast);
}

}  // namespace
