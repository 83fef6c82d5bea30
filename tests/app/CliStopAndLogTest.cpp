// tapvane-cli as a Unix tool: its help against its manual page, quiet standard error unless
// --verbose, Ctrl-C with many downloads running, a second Ctrl-C, and a log file on a full
// disk (a file size limit put on the running program stands in for one).
#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "BuildInfo.h"
#include "ProcessSupport.h"
#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/CliOptions.h"
#include "capture/HttpTestSupport.h"

namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kStopBound = 5s;
#else
constexpr auto kStopBound = 1500ms;
#endif

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::size_t Count(const std::string& strText, const std::string& strPart) {
    std::size_t n = 0;
    for (std::size_t i = strText.find(strPart); i != std::string::npos;
         i = strText.find(strPart, i + 1)) {
        ++n;
    }
    return n;
}

// Collects the program's output until `strPart` shows `n` times in its standard error.
bool WaitForCount(test::CChildProcess& cli, const std::string& strPart, std::size_t n,
                  std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Count(cli.Err(), strPart) < n) {
        if (std::chrono::steady_clock::now() > end || cli.Wait(20ms) != -1) {
            return Count(cli.Err(), strPart) >= n;
        }
    }
    return true;
}

class CliStopAndLogTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"XDG_CONFIG_HOME=" + m_config.Path(), "HOME=" + m_config.Path()};
    }
    std::vector<std::string> Args(std::uint16_t nLocal, std::uint16_t nServer) const {
        return {
            TAPVANE_CLI_PATH, "--local-port",          std::to_string(nLocal), "--url", "127.0.0.1",
            "--remote-port",  std::to_string(nServer), "--save-response",      "off"};
    }
    CTempFolder m_config;
    CTempFolder m_files;
};

// Endless downloads: each connection gets 1 KiB every 5 ms until it closes (or a minute).
std::function<void(int)> Streamer() {
    return [](int fd) {
        const std::string chunk = test::Pattern(1024);
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end && test::SendAllPosix(fd, chunk)) {
            std::this_thread::sleep_for(5ms);
        }
    };
}

// Clients that read until the relay closes their connection (or a minute passes).
class CDownloads {
public:
    CDownloads(std::uint16_t nPort, int nCount) {
        for (int i = 0; i < nCount; ++i) {
            m_threads.emplace_back([nPort] {
                const int fd = test::ConnectPosix(nPort);
                if (fd < 0) {
                    return;
                }
                test::SendAllPosix(fd, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
                char buffer[65536];
                const auto end = std::chrono::steady_clock::now() + 60s;
                while (std::chrono::steady_clock::now() < end) {
                    pollfd pfd{fd, POLLIN, 0};
                    if (::poll(&pfd, 1, 100) > 0 && ::recv(fd, buffer, sizeof(buffer), 0) <= 0) {
                        break;
                    }
                }
                ::close(fd);
            });
        }
    }
    ~CDownloads() {
        for (std::thread& t : m_threads) {
            t.join();
        }
    }

private:
    std::vector<std::thread> m_threads;
};

// Every "--name" (a lower-case letter, then letters and hyphens) in the text.
std::set<std::string> LongOptions(const std::string& strText) {
    std::set<std::string> options;
    for (std::size_t n = 0; (n = strText.find("--", n)) != std::string::npos;) {
        std::size_t nEnd = n + 2;
        if (nEnd < strText.size() && std::islower(static_cast<unsigned char>(strText[nEnd]))) {
            while (
                nEnd < strText.size() &&
                (std::islower(static_cast<unsigned char>(strText[nEnd])) || strText[nEnd] == '-')) {
                ++nEnd;
            }
            options.insert(strText.substr(n, nEnd - n));
        }
        n = nEnd;
    }
    return options;
}

// Whether the text holds a trace line's time stamp, "hh:mm:ss.mmm:".
bool HasTimeStamp(const std::string& strText) {
    static constexpr char kShape[] = "00:00:00.000:";
    for (std::size_t n = 0; n + sizeof(kShape) - 1 <= strText.size(); ++n) {
        bool bMatch = true;
        for (std::size_t k = 0; k + 1 < sizeof(kShape) && bMatch; ++k) {
            const char c = strText[n + k];
            bMatch = kShape[k] == '0' ? std::isdigit(static_cast<unsigned char>(c)) != 0
                                      : c == kShape[k];
        }
        if (bMatch) {
            return true;
        }
    }
    return false;
}

TEST(CliHelpTest, HelpNamesWhatTheManualPageNamesAndVersionComesFirst) {
    test::CChildProcess help({TAPVANE_CLI_PATH, "--help"});
    ASSERT_EQ(0, help.Wait(10s));
    const std::string strMan = ReadFile(TAPVANE_MAN_DIR "/tapvane-cli.1.in");
    ASSERT_FALSE(strMan.empty());
    // The long options of each: the manual page writes each hyphen as \-.
    std::string strManText = strMan;
    for (std::size_t n = 0; (n = strManText.find("\\-", n)) != std::string::npos;) {
        strManText.erase(n, 1);
    }
    const std::set<std::string> inHelp = LongOptions(help.Out());
    const std::set<std::string> inMan = LongOptions(strManText);
    EXPECT_EQ(inMan, inHelp);
    // Every exit status of the manual page is in the help, with the same meaning.
    const std::size_t nExit = strManText.find(".SH \"EXIT STATUS\"");
    ASSERT_NE(std::string::npos, nExit);
    std::istringstream exits(strManText.substr(nExit, strManText.find(".SH", nExit + 3) - nExit));
    std::string strLine;
    int nStatuses = 0;
    while (std::getline(exits, strLine)) {
        if (strLine.rfind(".B ", 0) == 0) {
            std::string strMeaning;
            std::getline(exits, strMeaning);
            strMeaning = strMeaning.substr(0, strMeaning.find_first_of("(:,."));
            std::transform(strMeaning.begin(), strMeaning.begin() + 1, strMeaning.begin(),
                           ::tolower);
            EXPECT_NE(std::string::npos, help.Out().find("  " + strLine.substr(3))) << strLine;
            EXPECT_NE(std::string::npos, help.Out().find(strMeaning)) << strMeaning;
            ++nStatuses;
        }
    }
    EXPECT_EQ(6, nStatuses);

    test::CChildProcess version({TAPVANE_CLI_PATH, "--version"});
    ASSERT_EQ(0, version.Wait(10s));
    EXPECT_EQ(0u, version.Out().find("tapvane-cli " TAPVANE_VERSION_STRING "\n")) << version.Out();
}

TEST_F(CliStopAndLogTest, StatusLinesByDefaultTraceLinesWithVerbose) {
    test::CTestServer server([](int fd) { test::SendAllPosix(fd, "hello"); });
    for (const bool bVerbose : {false, true}) {
        std::vector<std::string> args = Args(test::FreePort(), server.Port());
        const std::uint16_t nLocal = static_cast<std::uint16_t>(std::stoi(args[2]));
        if (bVerbose) {
            args.push_back("--verbose");
        }
        test::CChildProcess cli(args, Env());
        ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
        const int fd = test::ConnectPosix(nLocal);
        EXPECT_EQ("hello", test::ReceiveAllPosix(fd));
        ::close(fd);
        ASSERT_TRUE(cli.WaitForStderr("Session 0 stopped.", 10s)) << cli.Err();
        cli.Signal(SIGINT);
        EXPECT_EQ(0, cli.Wait(10s));
        const std::string& strErr = cli.Err();
        EXPECT_NE(std::string::npos, strErr.find("\nSession 0 starts.\n")) << strErr;
        EXPECT_NE(std::string::npos, strErr.find("\nStopping ")) << strErr;
        // Trace lines: a time stamp and the status text quoted once more.
        EXPECT_EQ(bVerbose, strErr.find("Status: \"Session 0 starts.\"") != std::string::npos)
            << strErr;
        EXPECT_EQ(bVerbose, HasTimeStamp(strErr)) << strErr;
    }
}

TEST_F(CliStopAndLogTest, CtrlCEndsFiftyDownloadsAtOnceAndWritesTheWholeLog) {
    test::CTestServer server(Streamer());
    const std::uint16_t nLocal = test::FreePort();
    std::vector<std::string> args = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/null"};
    for (const std::string& s : Args(nLocal, server.Port())) {
        args.push_back(s);
    }
    args.push_back("--log");
    args.push_back(m_files.Path("traffic.log"));
    test::CChildProcess cli(args, Env());
    ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
    constexpr int kDownloads = 50;
    CDownloads downloads(nLocal, kDownloads);
    ASSERT_TRUE(cli.WaitForStderr("\n50 session(s) open", 20s)) << cli.Err().substr(0, 3000);
    std::this_thread::sleep_for(300ms);  // all of them under way

    const auto start = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    const int nExit = cli.Wait(20s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(0, nExit) << cli.Err().substr(0, 3000);
    EXPECT_LT(elapsed, kStopBound)
        << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
    std::printf("[ measured ] Ctrl-C with %d downloads: exit after %lld ms\n", kDownloads,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    EXPECT_EQ(1u, Count(cli.Err(), "Stopping 50 sessions; Ctrl-C again ends at once.\n"))
        << cli.Err().substr(0, 3000);
    // A stop is not an error of the sessions.
    EXPECT_EQ(std::string::npos, cli.Err().find("failed")) << cli.Err().substr(0, 3000);
    // Every session's end is in the log file: it was written to the end.
    const std::string strLog = ReadFile(m_files.Path("traffic.log"));
    EXPECT_EQ(static_cast<std::size_t>(kDownloads), Count(strLog, " stopped."));
}

TEST_F(CliStopAndLogTest, SecondCtrlCEndsAtOnceWhenTheStandardOutputIsStuck) {
    test::CTestServer server(Streamer());
    const std::uint16_t nLocal = test::FreePort();
    // The standard output is a pipe that nobody reads.
    int out[2];
    ASSERT_EQ(0, ::pipe2(out, O_CLOEXEC));
    const std::string strErrFile = m_files.Path("stderr");
    std::vector<std::string> args = Args(nLocal, server.Port());
    args.push_back("--log");
    args.push_back(m_files.Path("traffic.log"));
    const std::vector<std::string> env = Env();
    const int fdErr = ::open(strErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fdErr, 0);
    const pid_t pid = test::Spawn(args, env, out[1], fdErr, false);
    ::close(fdErr);
    ::close(out[1]);
    ASSERT_GT(pid, 0);
    // Whatever fails below, the program does not outlive the test.
    struct CReaper {
        pid_t pid;
        int nStatus = 0;
        bool bReaped = false;
        ~CReaper() {
            if (!bReaped) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &nStatus, 0);
            }
        }
    } reaper{pid};
    int& nStatus = reaper.nStatus;
    const auto ended = [&] {
        reaper.bReaped = reaper.bReaped || ::waitpid(pid, &nStatus, WNOHANG) == pid;
        return reaper.bReaped;
    };
    ASSERT_TRUE(test::WaitUntil(
        [&] { return ReadFile(strErrFile).find("Listening on port") != std::string::npos; }, 10s));
    {
        CDownloads downloads(nLocal, 10);
        EXPECT_TRUE(test::WaitUntil(
            [&] { return ReadFile(strErrFile).find("\n10 session(s) open") != std::string::npos; },
            20s))
            << ReadFile(strErrFile);
        std::this_thread::sleep_for(300ms);
        ::kill(pid, SIGINT);
        EXPECT_TRUE(test::WaitUntil(
            [&] { return ReadFile(strErrFile).find("Stopping 10 sessions") != std::string::npos; },
            10s));
        // The sessions end; the program waits to write the rest to the stuck output.
        EXPECT_FALSE(test::WaitUntil(ended, 500ms));
        const auto start = std::chrono::steady_clock::now();
        ::kill(pid, SIGINT);
        ASSERT_TRUE(test::WaitUntil(ended, 10s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
    ::close(out[0]);
    // Not all of the log reached the standard output: the log is incomplete.
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(3, WEXITSTATUS(nStatus)) << ReadFile(strErrFile);
    EXPECT_NE(std::string::npos, ReadFile(strErrFile).find("the standard output"));
    // The log file took everything up to the last block: every session's end.
    EXPECT_EQ(10u, Count(ReadFile(m_files.Path("traffic.log")), " stopped."));
}

// One answer of 600 KB per connection, so that two of them pass a 1 MiB file size limit.
class CAnswers {
public:
    CAnswers()
        : m_body(std::string(600 * 1000, 'a')), m_server([this](int fd) {
              char buffer[4096];
              if (::recv(fd, buffer, sizeof(buffer), 0) > 0) {
                  test::SendAllPosix(fd, m_body);
              }
          }) {}
    std::uint16_t Port() const { return m_server.Port(); }
    bool Fetch(std::uint16_t nLocal) const {
        const int fd = test::ConnectPosix(nLocal);
        test::SendAllPosix(fd, "GET / HTTP/1.0\r\n\r\n");
        const bool bOk = test::ReceiveAllPosix(fd) == m_body;
        ::close(fd);
        return bOk;
    }

private:
    std::string m_body;
    test::CTestServer m_server;
};

// Fetches one answer through the relay while its standard output is read meanwhile (the
// relay waits for a full output, as it should).
bool FetchThrough(test::CChildProcess& cli, const CAnswers& answers, std::uint16_t nLocal) {
    std::atomic<bool> bDone{false};
    bool bOk = false;
    std::thread fetch([&] {
        bOk = answers.Fetch(nLocal);
        bDone = true;
    });
    while (!bDone && cli.Wait(20ms) == -1) {
    }
    fetch.join();
    return bOk;
}

TEST_F(CliStopAndLogTest, ALogFileThatCannotBeWrittenIsSaidOnceAndRelayingGoesOn) {
    CAnswers answers;
    for (const bool bRoomAgain : {false, true}) {
        const std::uint16_t nLocal = test::FreePort();
        const std::string strLog = m_files.Path(bRoomAgain ? "b.log" : "a.log");
        std::vector<std::string> args = Args(nLocal, answers.Port());
        args.push_back("--log");
        args.push_back(strLog);
        test::CChildProcess cli(args, Env());
        ASSERT_TRUE(cli.WaitForStderr("Listening on port", 10s)) << cli.Err();
        rlimit full{1024 * 1024, RLIM_INFINITY};
        rlimit room{};
        if (::prlimit(cli.Pid(), RLIMIT_FSIZE, nullptr, &room) != 0 ||
            ::prlimit(cli.Pid(), RLIMIT_FSIZE, &full, nullptr) != 0) {
            GTEST_SKIP() << "cannot limit the file size of the program: " << std::strerror(errno);
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(FetchThrough(cli, answers, nLocal)) << i;
        }
        const std::string strSaid = "tapvane-cli: cannot write the log file \"" + strLog +
                                    "\": " + std::strerror(EFBIG) + ". Relaying goes on";
        ASSERT_TRUE(cli.WaitForStderr(strSaid, 10s)) << cli.Err().substr(0, 3000);
        if (bRoomAgain) {
            ASSERT_EQ(0, ::prlimit(cli.Pid(), RLIMIT_FSIZE, &room, nullptr));
            EXPECT_TRUE(cli.WaitForStderr("is written again; nothing was lost", 10s));
            EXPECT_TRUE(FetchThrough(cli, answers, nLocal));
        }
        EXPECT_TRUE(FetchThrough(cli, answers, nLocal));
        ASSERT_TRUE(WaitForCount(cli, " stopped.\n", bRoomAgain ? 5 : 4, 10s)) << cli.Err();
        cli.Signal(SIGINT);
        EXPECT_EQ(bRoomAgain ? 0 : 3, cli.Wait(10s)) << cli.Err().substr(0, 3000);
        EXPECT_EQ(1u, Count(cli.Err(), "cannot write the log file"));
        if (bRoomAgain) {
            EXPECT_TRUE(ReadFile(strLog) == cli.Out()) << "the file is not the whole log";
        } else {
            EXPECT_EQ(1024u * 1024u, ReadFile(strLog).size());
            EXPECT_NE(std::string::npos, cli.Err().find("tapvane-cli: the log is incomplete: "))
                << cli.Err();
        }
    }
}

}  // namespace
