// Replays against real loopback servers: what the server receives, what the log and the
// session list show, the two timings, the stop and the failures.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "capture/RelayFixture.h"
#include "capture/ReplaySessions.h"
#include "logdoc/SessionTable.h"

namespace {

using namespace std::chrono_literals;

// The records of the log, kept as the session list keeps them.
class CTableSink : public ILogSink {
public:
    void AppendLog(std::wstring_view, int) override {}
    void OnLogRecord(const CLogRecord& record) override {
        std::lock_guard lock(m_mutex);
        m_table.Apply(record, m_nBlocks, 0);
        if (record.kind == LogRecordKind::Block) {
            ++m_nBlocks;
        }
    }
    std::vector<CSessionInfo> Rows() { return m_table.GetAll(); }

private:
    std::mutex m_mutex;
    CSessionTable m_table;
    std::uint64_t m_nBlocks = 0;
};

// What a server connection received, in the order and with the times it came.
struct CReceived {
    std::mutex mutex;
    std::string bytes;
    std::vector<std::chrono::steady_clock::time_point> times;
    std::string Bytes() {
        std::lock_guard lock(mutex);
        return bytes;
    }
};

class ReplaySessionTest : public test::RelayFixture {
protected:
    void SetUp() override {
        test::RelayFixture::SetUp();
        m_log.SetForward(&m_records);
    }

    // Runs the plan to its end (at most 20 s) and returns its result.
    CReplayResult Run(CReplayPlan plan, long* pnSession = nullptr) {
        const std::shared_ptr<CReplaySession> p = ReplaySessions().Start(std::move(plan));
        EXPECT_TRUE(test::WaitUntil([&] { return p->IsDone(); }, 20s));
        p->Join();
        if (pnSession != nullptr) {
            *pnSession = p->GetSession();
        }
        return p->GetResult();
    }

    CTableSink m_records;
};

CReplayPlan PlanFor(std::uint16_t nPort, std::vector<std::string> blocks) {
    CReplayPlan plan;
    plan.strServer = L"127.0.0.1";
    plan.nPort = nPort;
    plan.quiet = 150ms;
    plan.strOrigin = "replay of #4";
    std::int64_t nTime = 1'000'000;
    for (std::string& b : blocks) {
        plan.blocks.push_back({std::move(b), nTime});
        nTime += 1000;
    }
    return plan;
}

TEST_F(ReplaySessionTest, EchoServerGetsEveryByteAndTheAnswersAreANewSession) {
    test::CRecordingEcho server;
    // A text block, a binary one with zero bytes and one larger than a socket buffer.
    const std::string binary("\x00\x01\xff\r\n\x00zz", 8);
    const std::string large = test::Pattern(3 << 20);
    long nSession = 0;
    const CReplayResult result =
        Run(PlanFor(server.Port(), {"hello\r\n", binary, large}), &nSession);
    EXPECT_TRUE(result.Completed(3)) << win::WideToAnsi(result.strError);
    EXPECT_TRUE(result.bServerClosed);
    EXPECT_EQ(CReplaySessions::kFirstNumber, nSession);
    const std::string all = "hello\r\n" + binary + large;
    EXPECT_EQ(all.size(), result.nBytesSent);
    EXPECT_EQ(all.size(), result.nBytesReceived);
    const std::vector<std::string> received = server.Received();
    ASSERT_EQ(1u, received.size());
    EXPECT_TRUE(received[0] == all) << received[0].size();

    // The log shows it as a relayed session: its lines, its markers, its origin.
    EXPECT_TRUE(m_log.Contains(L"\r\nSession 1000 starts."));
    EXPECT_TRUE(m_log.Contains(L"\r\nSession 1000: replay of #4"));
    EXPECT_TRUE(m_log.Contains(L"\r\n1000---<---"));
    EXPECT_TRUE(m_log.Contains(L"\r\n1000--->---"));
    EXPECT_TRUE(m_log.Contains(L"hello\r\n"));
    EXPECT_TRUE(WaitForLog(L"\r\nSession 1000 stopped."));
    const std::vector<CSessionInfo> rows = m_records.Rows();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(1000, rows[0].nNumber);
    EXPECT_EQ("replay of #4", rows[0].strOrigin);
    EXPECT_EQ(3u, rows[0].nBlocks[0]);
    EXPECT_EQ(all.size(), rows[0].nBytes[0]);
    EXPECT_EQ(all.size(), rows[0].nBytes[1]);
    EXPECT_EQ(SessionEnd::Closed, rows[0].end);
    EXPECT_EQ(4, rows[0].client.nFamily);
    EXPECT_EQ(server.Port(), rows[0].server.nPort);
    EXPECT_EQ("127.0.0.1", rows[0].strServerHost);
}

TEST_F(ReplaySessionTest, HttpServerAnswersEachRequestBeforeTheNextGoes) {
    // Two requests on one connection; the server answers each and closes after the second.
    CReceived received;
    test::CTestServer server([&](int fd) {
        std::string pending;
        char buffer[4096];
        for (int nAnswered = 0; nAnswered < 2;) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 10000) <= 0) {
                return;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            {
                std::lock_guard lock(received.mutex);
                received.bytes.append(buffer, static_cast<std::size_t>(n));
                received.times.push_back(std::chrono::steady_clock::now());
            }
            while (pending.find("\r\n\r\n") != std::string::npos) {
                pending.erase(0, pending.find("\r\n\r\n") + 4);
                ++nAnswered;
                std::this_thread::sleep_for(40ms);  // a server that thinks a little
                const std::string body = "page " + std::to_string(nAnswered);
                test::SendAllPosix(fd, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                           std::to_string(body.size()) + "\r\n\r\n" + body);
            }
        }
    });
    const std::string first = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string second = "GET /b HTTP/1.1\r\nHost: x\r\n\r\n";
    const CReplayResult result = Run(PlanFor(server.Port(), {first, second}));
    EXPECT_TRUE(result.Completed(2)) << win::WideToAnsi(result.strError);
    EXPECT_EQ(first + second, received.Bytes());
    {
        // Quiet timing: the second request went only after the first answer.
        std::lock_guard lock(received.mutex);
        ASSERT_EQ(2u, received.times.size());
        EXPECT_GE(received.times[1] - received.times[0], 150ms);
    }
    EXPECT_TRUE(m_log.Contains(L"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\npage 1"));
    EXPECT_TRUE(m_log.Contains(L"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\npage 2"));
    const std::vector<CSessionInfo> rows = m_records.Rows();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("GET /a HTTP/1.1", rows[0].strRequestLine);
    EXPECT_EQ("HTTP/1.1 200 OK", rows[0].strStatusLine);
    EXPECT_EQ(2u, rows[0].nBlocks[0]);
}

TEST_F(ReplaySessionTest, RecordedTimingKeepsTheGapsAndCutsLongPauses) {
    CReceived received;
    test::CTestServer server([&](int fd) {
        test::ForEachReceived(fd, [&received](std::string_view chunk) {
            std::lock_guard lock(received.mutex);
            received.bytes.append(chunk);
            received.times.push_back(std::chrono::steady_clock::now());
            return true;
        });
    });
    CReplayPlan plan = PlanFor(server.Port(), {"a", "b", "c"});
    plan.timing = ReplayTiming::Recorded;
    plan.maxPause = 600ms;
    plan.blocks[1].nTimeUs = plan.blocks[0].nTimeUs + 300'000;        // 300 ms later
    plan.blocks[2].nTimeUs = plan.blocks[1].nTimeUs + 3'600'000'000;  // an hour: cut
    const auto start = std::chrono::steady_clock::now();
    const CReplayResult result = Run(std::move(plan));
    EXPECT_TRUE(result.Completed(3)) << win::WideToAnsi(result.strError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    std::lock_guard lock(received.mutex);
    EXPECT_EQ("abc", received.bytes);
    ASSERT_EQ(3u, received.times.size());
    EXPECT_GE(received.times[1] - received.times[0], 290ms);
    EXPECT_GE(received.times[2] - received.times[1], 590ms);
    EXPECT_LT(received.times[2] - received.times[1], 2s);
}

TEST_F(ReplaySessionTest, StopEndsAReplayWaitingForAnAnswerAtOnce) {
    std::atomic<bool> bServerDone{false};
    test::CTestServer server([&](int fd) {
        // Reads, never answers, until the replay goes.
        char buffer[4096];
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 10000) <= 0 || ::recv(fd, buffer, sizeof(buffer), 0) <= 0) {
                break;
            }
        }
        bServerDone = true;
    });
    // A server that trickles: the answer never goes quiet for long.
    CReplayPlan plan = PlanFor(server.Port(), {"x", "y"});
    plan.timing = ReplayTiming::Recorded;
    plan.maxPause = 60s;
    plan.blocks[1].nTimeUs += 60'000'000;
    const std::shared_ptr<CReplaySession> p = ReplaySessions().Start(std::move(plan));
    ASSERT_TRUE(WaitForLog(L"x"));
    const auto asked = std::chrono::steady_clock::now();
    StartListening(server.Port());
    ToggleListening(false);  // Listen off stops the replays too
    EXPECT_TRUE(test::WaitUntil([&] { return p->IsDone(); }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    p->Join();
    const CReplayResult result = p->GetResult();
    EXPECT_TRUE(result.bStopped);
    EXPECT_FALSE(result.Completed(2));
    EXPECT_EQ(1u, result.nBlocksSent);
    EXPECT_TRUE(test::WaitUntil([&] { return bServerDone.load(); }, 5s));
    EXPECT_TRUE(m_log.Contains(L"\r\nSession 1000 stopped."));
}

TEST_F(ReplaySessionTest, FailuresAreLoggedAndReportedAsIncomplete) {
    // Nothing listens on the port: refused, as a relayed session's connection is.
    const CReplayResult refused = Run(PlanFor(test::FreePort(), {"x"}));
    EXPECT_FALSE(refused.bConnected);
    EXPECT_FALSE(refused.Completed(1));
    EXPECT_NE(std::wstring::npos, refused.strError.find(L"Connect to 127.0.0.1 host"));
    EXPECT_TRUE(WaitForLog(L"\r\nSession 1000 stopped."));

    // A server that closes after the first block: the rest cannot go.
    test::CTestServer closer([](int fd) {
        char buffer[64];
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) > 0) {
            (void)::recv(fd, buffer, sizeof(buffer), 0);
        }
    });
    const CReplayResult cut = Run(PlanFor(closer.Port(), {"one", "two", "three"}));
    EXPECT_TRUE(cut.bConnected);
    EXPECT_FALSE(cut.Completed(3));
    EXPECT_EQ(1u, cut.nBlocksSent);
    EXPECT_EQ(L"the server closed the connection before 2 blocks were sent", cut.strError);

    // A server that resets.
    test::CTestServer resetter([](int fd) {
        char buffer[64];
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) > 0) {
            (void)::recv(fd, buffer, sizeof(buffer), 0);
        }
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    });
    const CReplayResult reset = Run(PlanFor(resetter.Port(), {"x"}));
    EXPECT_TRUE(reset.bFailed);
    EXPECT_FALSE(reset.Completed(1));
    const std::vector<CSessionInfo> rows = m_records.Rows();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(SessionEnd::Refused, rows[0].end);
    EXPECT_EQ(SessionEnd::Reset, rows[2].end);
}

TEST_F(ReplaySessionTest, NumbersAreTheLowestThatNoRunningReplayHolds) {
    CReplaySessions sessions;
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 5000); });
    CReplayPlan plan = PlanFor(server.Port(), {"x"});
    plan.timing = ReplayTiming::Recorded;
    plan.blocks.push_back({"y", plan.blocks[0].nTimeUs + 5'000'000});
    const auto first = sessions.Start(plan);
    const auto second = sessions.Start(plan);
    EXPECT_EQ(CReplaySessions::kFirstNumber, first->GetSession());
    EXPECT_EQ(CReplaySessions::kFirstNumber + 1, second->GetSession());
    EXPECT_TRUE(sessions.IsNumberTaken(CReplaySessions::kFirstNumber + 1));
    EXPECT_EQ(2u, sessions.GetRunningCount());
    first->Stop();
    ASSERT_TRUE(test::WaitUntil([&] { return first->IsDone(); }));
    sessions.Reap();
    // The first number is free again once its replay has gone.
    EXPECT_FALSE(sessions.IsNumberTaken(CReplaySessions::kFirstNumber));
    EXPECT_EQ(CReplaySessions::kFirstNumber, sessions.Start(plan)->GetSession());
    sessions.StopAll();
    EXPECT_TRUE(sessions.WaitAll(2s));
}

}  // namespace
