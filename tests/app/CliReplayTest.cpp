// tapvane-cli --replay: captures written by our own --pcap and by tshark on loopback sent
// to a real server again, byte for byte, and the exit status of runs that fail.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "ProcessSupport.h"
#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/CliOptions.h"
#include "capture/RelayFixture.h"
#include "logdoc/TsharkSupport.h"

namespace {

using namespace std::chrono_literals;

// One exchange: sends the blocks in turn, each after the echo of the one before.
void Exchange(std::uint16_t nPort, const std::vector<std::string>& blocks) {
    const int fd = test::ConnectPosix(nPort);
    ASSERT_GE(fd, 0);
    for (const std::string& block : blocks) {
        ASSERT_TRUE(test::SendAllPosix(fd, block));
        EXPECT_EQ(block, test::ReceiveExactlyPosix(fd, block.size()));
    }
    ::shutdown(fd, SHUT_WR);
    (void)test::ReceiveAllPosix(fd);
    ::close(fd);
}

std::vector<std::string> Env(const CTempFolder& folder) {
    return {"XDG_CONFIG_HOME=" + folder.Path(), "XDG_DESKTOP_DIR=" + folder.Path()};
}

// Replays `strCapture` to `nPort`; the run's exit status, its output in `cli`.
int Replay(const CTempFolder& folder, const std::string& strCapture, std::uint16_t nPort,
           std::string* pstrOut = nullptr, std::string* pstrErr = nullptr) {
    test::CChildProcess cli({TAPVANE_CLI_PATH, "--replay", strCapture, "--url", "127.0.0.1",
                             "--remote-port", std::to_string(nPort), "--replay-quiet", "100"},
                            Env(folder));
    const int nExit = cli.Wait(60s);
    if (pstrOut != nullptr) {
        *pstrOut = cli.Out();
    }
    if (pstrErr != nullptr) {
        *pstrErr = cli.Err();
    }
    return nExit;
}

const std::vector<std::vector<std::string>> kSessions = {
    {"first line\n", "second line\n"},
    {std::string("\x00\x01\x02 binary \xff", 12), test::Pattern(200000)},
};

std::string Joined(const std::vector<std::string>& blocks) {
    std::string all;
    for (const std::string& b : blocks) {
        all += b;
    }
    return all;
}

TEST(CliReplayOptionTest, TakesTheCaptureAndTheTiming) {
    CCliOptions options;
    std::string strError;
    const char* args[] = {"tapvane-cli", "--replay",       "c.pcapng", "--replay-timing",
                          "recorded",    "--replay-quiet", "250"};
    ASSERT_TRUE(ParseCliOptions(std::size(args), args, options, strError)) << strError;
    EXPECT_EQ("c.pcapng", *options.strReplayFile);
    EXPECT_TRUE(options.bReplayRecorded);
    EXPECT_EQ(250, *options.nReplayQuietMs);
    const char* badTiming[] = {"tapvane-cli", "--replay-timing", "fast"};
    EXPECT_FALSE(ParseCliOptions(std::size(badTiming), badTiming, options, strError));
    const char* badQuiet[] = {"tapvane-cli", "--replay-quiet", "0"};
    EXPECT_FALSE(ParseCliOptions(std::size(badQuiet), badQuiet, options, strError));
}

TEST(CliReplayTest, ReplaysItsOwnCaptureByteExact) {
    test::CRecordingEcho original;
    CTempFolder folder;
    const std::string strCapture = folder.Path("own.pcapng");
    const std::uint16_t nLocal = test::FreePort();
    {
        test::CChildProcess relay(
            {TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url", "127.0.0.1",
             "--remote-port", std::to_string(original.Port()), "--pcap", strCapture},
            Env(folder));
        ASSERT_TRUE(relay.WaitForStderr("Listening on port", 10s)) << relay.Err();
        for (const auto& blocks : kSessions) {
            std::atomic<bool> bDone{false};
            std::thread exchange([&] {
                Exchange(nLocal, blocks);
                bDone = true;
            });
            while (!bDone) {
                relay.WaitForStderr("\x01", 10ms);  // keeps the log's pipes from filling
            }
            exchange.join();
        }
        // Both sessions have stopped. The second is numbered 0 again when the first was
        // gone from the list by the time it came, else 1.
        const auto stops = [&relay] {
            const std::string& err = relay.Err();
            int nStopped = 0;
            for (std::size_t n = err.find(" stopped.\n"); n != std::string::npos;
                 n = err.find(" stopped.\n", n + 1)) {
                const std::size_t nLine = err.rfind('\n', n);
                nStopped +=
                    err.compare(nLine == std::string::npos ? 0 : nLine + 1, 8, "Session ") == 0;
            }
            return nStopped == 2;
        };
        const bool bStopped = test::WaitUntil(
            [&] {
                relay.WaitForStderr("\x01", 10ms);  // collects the output meanwhile
                return stops();
            },
            10s);
        ASSERT_TRUE(bStopped) << relay.Err();
        relay.Signal(SIGINT);
        ASSERT_EQ(0, relay.Wait(20s)) << relay.Err();
    }

    test::CRecordingEcho target;
    std::string strOut;
    std::string strErr;
    ASSERT_EQ(0, Replay(folder, strCapture, target.Port(), &strOut, &strErr)) << strErr;
    const std::vector<std::string> received = target.Received();
    ASSERT_EQ(kSessions.size(), received.size());
    for (std::size_t i = 0; i < kSessions.size(); ++i) {
        EXPECT_TRUE(received[i] == Joined(kSessions[i])) << i << ": " << received[i].size();
    }
    // Logged as relayed sessions are, each marked as a replay, the answers included.
    EXPECT_NE(std::string::npos, strOut.find("Session 1000 starts."));
    EXPECT_NE(std::string::npos, strOut.find("Session 1000: replay of own.pcapng stream 0"));
    EXPECT_NE(std::string::npos, strOut.find("1000--->---"));
    EXPECT_NE(std::string::npos, strOut.find("second line"));
    EXPECT_NE(std::string::npos, strErr.find("Replayed 2 sessions: 2 completed."));
}

TEST(CliReplayTest, ExitStatusSaysWhetherEverySessionCompleted) {
    CTempFolder folder;
    // A capture of one session.
    test::CRecordingEcho original;
    const std::string strCapture = folder.Path("one.pcapng");
    const std::uint16_t nLocal = test::FreePort();
    {
        test::CChildProcess relay(
            {TAPVANE_CLI_PATH, "--local-port", std::to_string(nLocal), "--url", "127.0.0.1",
             "--remote-port", std::to_string(original.Port()), "--pcap", strCapture},
            Env(folder));
        ASSERT_TRUE(relay.WaitForStderr("Listening on port", 10s)) << relay.Err();
        Exchange(nLocal, {"ping\n"});
        ASSERT_TRUE(relay.WaitForStderr("Session 0 stopped.", 10s)) << relay.Err();
        relay.Signal(SIGINT);
        ASSERT_EQ(0, relay.Wait(20s)) << relay.Err();
    }
    // Nothing listens on the server's port: the session does not complete.
    std::string strErr;
    EXPECT_EQ(4, Replay(folder, strCapture, test::FreePort(), nullptr, &strErr)) << strErr;
    EXPECT_NE(std::string::npos, strErr.find("Replayed 1 session: 0 completed.")) << strErr;
    // A file that is no capture.
    const std::string strText = folder.Path("notes.txt");
    {
        std::FILE* p = std::fopen(strText.c_str(), "wb");
        ASSERT_NE(nullptr, p);
        std::fputs("not a capture\n", p);
        std::fclose(p);
    }
    EXPECT_EQ(2, Replay(folder, strText, test::FreePort(), nullptr, &strErr));
    EXPECT_NE(std::string::npos, strErr.find("neither a pcapng nor a pcap")) << strErr;
    EXPECT_EQ(2, Replay(folder, folder.Path("missing.pcapng"), test::FreePort()));
}

TEST(CliReplayTest, ReplaysACaptureWrittenByTshark) {
    if (!test::HaveTshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    test::CRecordingEcho original;
    CTempFolder folder;
    const std::string strCapture = folder.Path("tshark.pcapng");
    {
        test::CChildProcess tshark({"tshark", "-i", "lo", "-w", strCapture, "-f",
                                    "tcp port " + std::to_string(original.Port())},
                                   {"HOME=/tmp"});
        if (!tshark.WaitForStderr("Capturing on", 15s)) {
            tshark.Signal(SIGKILL);
            tshark.Wait(5s);
            GTEST_SKIP() << "tshark may not capture on loopback here: " << tshark.Err();
        }
        std::this_thread::sleep_for(300ms);  // the capture filter is in place
        for (const auto& blocks : kSessions) {
            Exchange(original.Port(), blocks);
        }
        std::this_thread::sleep_for(500ms);
        tshark.Signal(SIGINT);
        ASSERT_EQ(0, tshark.Wait(20s)) << tshark.Err();
    }
    test::CRecordingEcho target;
    std::string strErr;
    ASSERT_EQ(0, Replay(folder, strCapture, target.Port(), nullptr, &strErr)) << strErr;
    const std::vector<std::string> received = target.Received();
    ASSERT_EQ(kSessions.size(), received.size());
    for (std::size_t i = 0; i < kSessions.size(); ++i) {
        EXPECT_TRUE(received[i] == Joined(kSessions[i])) << i << ": " << received[i].size();
    }
}

}  // namespace
