// Failures of single system calls, made by the platform layer's fault seam, end to end:
// a failure ends only what it must, says what happened, leaves no silent hole in the
// traffic and releases everything it took.
#include <dirent.h>
#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <future>

#include "HttpTestSupport.h"
#include "platform/FaultInjection.h"
#include "platform/Winsock.h"
#include "support/SystemErrorText.h"

namespace {

using namespace std::chrono_literals;

std::size_t CountEntries(const char* pszFolder, const char* pszSkip = nullptr) {
    std::size_t n = 0;
    if (DIR* pDir = ::opendir(pszFolder)) {
        while (const dirent* pEntry = ::readdir(pDir)) {
            if (pEntry->d_name[0] == '.') {
                continue;
            }
            if (pszSkip != nullptr) {
                char szTarget[512] = {};
                const std::string strLink = std::string(pszFolder) + "/" + pEntry->d_name;
                ::readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1);
                if (std::strstr(szTarget, pszSkip) != nullptr) {
                    continue;
                }
            }
            ++n;
        }
        ::closedir(pDir);
    }
    return n;
}

// The outcome of reading until the peer ends the stream.
struct CReadEnd {
    std::string data;
    bool bReset = false;  // ended with ECONNRESET, not with a clean end of stream
    bool bClean = false;  // ended with a clean end of stream
};

CReadEnd ReadToEnd(int fd, std::chrono::milliseconds silence = 10s) {
    CReadEnd end;
    char buffer[65536];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(silence.count())) <= 0) {
            return end;  // neither: it hangs
        }
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            end.data.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        end.bClean = n == 0;
        end.bReset = n < 0 && errno == ECONNRESET;
        return end;
    }
}

// A server that answers every request with `answer`, cut into `nPieces` blocks with a
// pause between them, and records how its connections ended.
class CPiecesServer {
public:
    CPiecesServer(std::string answer, int nPieces)
        : m_answer(std::move(answer)),
          m_nPieces(nPieces),
          m_server([this](int fd) { Serve(fd); }) {}
    std::uint16_t Port() const { return m_server.Port(); }
    int Served() const { return m_nServed; }
    // Connections that the relay ended while this server still sent or read.
    int Ended() const { return m_nEnded; }

private:
    void Serve(int fd) {
        char request[4096];
        if (::recv(fd, request, sizeof(request), 0) <= 0) {
            return;
        }
        const std::size_t nPiece = (m_answer.size() + m_nPieces - 1) / m_nPieces;
        for (std::size_t nPos = 0; nPos < m_answer.size(); nPos += nPiece) {
            if (!test::SendAllPosix(fd, m_answer.substr(nPos, nPiece))) {
                ++m_nEnded;
                return;
            }
            std::this_thread::sleep_for(30ms);
        }
        ++m_nServed;
        const CReadEnd end = ReadToEnd(fd);
        m_nEnded += end.bReset || end.bClean ? 1 : 0;
    }
    std::string m_answer;
    int m_nPieces;
    std::atomic<int> m_nServed{0};
    std::atomic<int> m_nEnded{0};
    test::CTestServer m_server;  // last: its threads end before the members they use
};

class ErrorPathTest : public test::RelayFixture {
protected:
    // Starts listening, first taking what the process holds without sessions (the test's
    // server is running by then).
    std::uint16_t Listen(std::uint16_t nServerPort) {
        if (m_nThreadsBefore == 0) {
            std::this_thread::sleep_for(50ms);  // the fixture's own threads settle
            m_nSocketsBefore = win::OpenSocketCount();
            m_nFdsBefore = CountEntries("/proc/self/fd", "registry.db");
            m_nThreadsBefore = CountEntries("/proc/self/task");
        }
        return StartListening(nServerPort);
    }
    void TearDown() override {
        win::DisarmFaults();
        RelayFixture::TearDown();
    }

    // One request and its whole answer through the relay: the relay still serves.
    static bool RoundTrip(std::uint16_t nLocal, const std::string& strExpected) {
        const int fd = test::ConnectPosix(nLocal);
        if (fd < 0) {
            return false;
        }
        const std::string got = test::SendAllPosix(fd, "request")
                                    ? test::ReceiveExactlyPosix(fd, strExpected.size())
                                    : std::string();
        ::close(fd);
        return got == strExpected;
    }

    // After listening stops: every socket, descriptor and thread of the sessions is gone.
    void ExpectNothingLeft() {
        if (m_pWindow->IsListening()) {
            ToggleListening(false);
        }
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 20s)) << g_nClientsCount;
        EXPECT_TRUE(
            test::WaitUntil([&] { return win::OpenSocketCount() <= m_nSocketsBefore; }, 10s))
            << win::OpenSocketCount() << " sockets, " << m_nSocketsBefore << " before";
        EXPECT_TRUE(test::WaitUntil(
            [&] { return CountEntries("/proc/self/fd", "registry.db") <= m_nFdsBefore; }, 10s))
            << CountEntries("/proc/self/fd", "registry.db") << " descriptors, " << m_nFdsBefore
            << " before";
        EXPECT_TRUE(test::WaitUntil(
            [&] { return CountEntries("/proc/self/task") <= m_nThreadsBefore; }, 10s))
            << CountEntries("/proc/self/task") << " threads, " << m_nThreadsBefore << " before";
    }

    // Bold lines of a session's failure whose text begins with `strText`.
    int CountSessionErrors(const std::wstring& strText) {
        int n = 0;
        for (const test::CLogRow& row : m_log.Rows()) {
            const std::size_t nColon = row.text.find(L": ");
            n += row.nStyle == LOG_STYLE_BOLD && row.text.starts_with(L"\r\nSession ") &&
                         nColon != std::wstring::npos &&
                         row.text.compare(nColon + 2, strText.size(), strText) == 0
                     ? 1
                     : 0;
        }
        return n;
    }
    // Whether the log holds a bold line of session `n` that begins with `strText`.
    bool WaitForSessionError(long n, const std::wstring& strText) {
        const std::wstring strPrefix = L"\r\nSession " + std::to_wstring(n) + L": " + strText;
        return test::WaitUntil(
            [&] {
                for (const test::CLogRow& row : m_log.Rows()) {
                    if (row.nStyle == LOG_STYLE_BOLD && row.text.starts_with(strPrefix)) {
                        return true;
                    }
                }
                return false;
            },
            10s);
    }
    // Whether status pane 1 has shown a text that begins with `strText` (later texts such
    // as the stop line replace it).
    bool StatusStartsWith(const std::wstring& strText) {
        return test::WaitUntil([&] {
            std::lock_guard lock(m_mutex);
            for (const auto& [nPane, s] : m_statusShown) {
                if (nPane == STATUS_PANE_TEXT && s.starts_with(strText)) {
                    return true;
                }
            }
            return false;
        });
    }

    std::size_t m_nSocketsBefore = 0;
    std::size_t m_nFdsBefore = 0;
    std::size_t m_nThreadsBefore = 0;
};

TEST_F(ErrorPathTest, TransientAcceptFailuresAreWaitedOutAndAcceptingGoesOn) {
    CPiecesServer server("answer", 1);
    const std::uint16_t nLocal = Listen(server.Port());
    ASSERT_TRUE(RoundTrip(nLocal, "answer"));
    int nRound = 0;
    for (const int nErrno : {ENOBUFS, EMFILE, ENFILE, ENOMEM}) {
        // Three failures in a row, met by the next thread that goes back to accepting (a
        // thread that waits already takes the next connection): the waits grow, and every
        // connection is served meanwhile.
        win::ArmFault({.call = win::FaultCall::Accept, .nErrno = nErrno, .nTimes = 3});
        for (int n = 0; n < 8 && win::InjectedFaultCount() < 3; ++n) {
            EXPECT_TRUE(RoundTrip(nLocal, "answer")) << std::strerror(nErrno);
        }
        EXPECT_TRUE(test::WaitUntil([] { return win::InjectedFaultCount() == 3; }, 5s));
        EXPECT_TRUE(RoundTrip(nLocal, "answer")) << std::strerror(nErrno);
        win::DisarmFaults();
        ++nRound;
    }
    // No thread can start: the threads that wait for connections serve them while another
    // waits; the connection that leaves none waiting, and finds no thread for its session,
    // is reset at once, without an answer, and accepting goes on.
    win::ArmFault({.call = win::FaultCall::CreateThread, .nErrno = EAGAIN, .nTimes = 1000});
    std::vector<int> held;
    int nReset = 0;
    for (int i = 0; i < 8 && nReset == 0; ++i) {
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
        char c = 0;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 500) == 1 && ::recv(fd, &c, 1, 0) == -1 && errno == ECONNRESET) {
            ++nReset;
        }
    }
    EXPECT_EQ(1, nReset);
    EXPECT_EQ(2, win::InjectedFaultCount());  // the waiting thread's and the session's
    for (const int fd : held) {
        ::close(fd);
    }
    win::DisarmFaults();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(RoundTrip(nLocal, "answer")) << i;
    }
    EXPECT_TRUE(m_pWindow->IsListening());
    EXPECT_TRUE(Messages().empty());
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, AcceptOnAGoneListenerStopsListeningVisibly) {
    CPiecesServer server("answer", 1);
    win::ArmFault({.call = win::FaultCall::Accept, .nErrno = EINVAL});
    const std::uint16_t nLocal = Listen(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::WaitUntil([this] { return !Messages().empty(); }));
    EXPECT_EQ(L"The listening was stopped\nSOCKET ERROR: CSocketBlocking::Accept. error = 10022. " +
                  GetSystemErrorText(WSAEINVAL).substr(0, GetSystemErrorText(WSAEINVAL).size() - 2),
              Messages()[0]);
    ASSERT_TRUE(test::WaitUntil([this] {
        m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
        return !m_pWindow->IsListening();
    }));
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_TEXT, L"The listening was stopped"));
    ::close(fd);
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, FailedSendToTheLocalClientResetsBothSidesAndTellsIt) {
    const std::string answer = test::Pattern(1 << 20);
    CPiecesServer server(answer, 8);
    const std::uint16_t nLocal = Listen(server.Port());
    // The second block toward the local client fails: its socket's local port is the
    // listening port.
    win::ArmFault(
        {.call = win::FaultCall::Send, .nErrno = EPIPE, .nSkip = 1, .nLocalPort = nLocal});
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "request"));
    const CReadEnd end = ReadToEnd(fd);
    ::close(fd);
    EXPECT_LT(end.data.size(), answer.size());
    EXPECT_TRUE(end.bReset) << "a cut answer must not end like a whole one";
    EXPECT_EQ(0, answer.compare(0, end.data.size(), end.data));
    const std::wstring strReason =
        L"Send to the local client failed! SOCKET ERROR: "
        L"CSocketBlocking::Send(...). error = 10101. The remote party has closed the "
        L"connection (broken pipe).";
    EXPECT_TRUE(WaitForSessionError(0, strReason));
    EXPECT_TRUE(StatusStartsWith(L"Session 0: " + strReason));
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_TRUE(test::WaitUntil([&] { return server.Ended() == 1; }, 15s));  // not left hanging
    win::DisarmFaults();
    EXPECT_TRUE(RoundTrip(nLocal, answer));  // the next client is served whole
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, FailedSendToTheServerResetsBothSidesAndTellsIt) {
    std::promise<CReadEnd> serverEnd;
    test::CTestServer server([&](int fd) { serverEnd.set_value(ReadToEnd(fd)); });
    const std::uint16_t nLocal = Listen(server.Port());
    win::ArmFault(
        {.call = win::FaultCall::Send, .nErrno = EPIPE, .nSkip = 1, .nPeerPort = server.Port()});
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "first"));
    ASSERT_TRUE(WaitForLog(L"first"));
    std::this_thread::sleep_for(100ms);
    test::SendAllPosix(fd, "second");  // this block does not reach the server
    const CReadEnd end = ReadToEnd(fd);
    ::close(fd);
    EXPECT_TRUE(end.bReset);
    auto serverFuture = serverEnd.get_future();
    ASSERT_EQ(std::future_status::ready, serverFuture.wait_for(15s));
    const CReadEnd atServer = serverFuture.get();
    EXPECT_EQ("first", atServer.data);
    EXPECT_TRUE(atServer.bReset) << "the server took a cut request for a whole one";
    EXPECT_TRUE(WaitForSessionError(0, L"Send to the server failed! SOCKET ERROR: "));
    EXPECT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, ServerSideErrorsCloseTheLocalClientAtOnce) {
    CPiecesServer server("answer", 1);
    const std::uint16_t nLocal = Listen(server.Port());
    struct CCase {
        win::CFaultRule fault;
        const wchar_t* pszLog;
        bool bOwnThread = false;  // the server connection's loop runs on a thread of its own
    };
    const CCase cases[] = {
        // A receive error on the server's connection.
        {{.call = win::FaultCall::Recv, .nErrno = ECONNRESET, .nPeerPort = server.Port()},
         L"Receive from the server failed! "},
        // No event object for a receive loop (the session's or the client's, which has one
        // when its server connection has a thread of its own).
        {{.call = win::FaultCall::CreateEvent, .nErrno = ENOMEM},
         L"No event object for the relay from the "},
        {{.call = win::FaultCall::CreateEvent, .nErrno = ENOMEM, .nSkip = 1},
         L"No event object for the relay from the ",
         true},
    };
    int nSession = 0;
    for (const CCase& c : cases) {
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount <= 1; }, 15s));
        const int nBefore = CountSessionErrors(c.pszLog);
        SetRelayOnSessionThread(!c.bOwnThread);
        win::ArmFault(c.fault);
        const int fd = test::ConnectPosix(nLocal);
        // The reset may come before the request is sent: then the send reports it.
        const bool bSendReset =
            !test::SendAllPosix(fd, "request") && (errno == ECONNRESET || errno == EPIPE);
        const auto start = std::chrono::steady_clock::now();
        const CReadEnd end = ReadToEnd(fd);
        ::close(fd);
        EXPECT_TRUE(end.bReset || bSendReset)
            << nSession << " got " << end.data.size() << " bytes, "
            << (end.bClean ? "a clean end" : "no end");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(1, win::InjectedFaultCount());
        win::DisarmFaults();
        EXPECT_TRUE(
            test::WaitUntil([&] { return CountSessionErrors(c.pszLog) == nBefore + 1; }, 10s))
            << nSession;
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount <= 1; }, 15s));
        EXPECT_TRUE(RoundTrip(nLocal, "answer"));
        ++nSession;
    }
    ExpectNothingLeft();
}

// Out of descriptors at each step of a session that needs one: the session ends with a
// reset of its client, the log names the cause (10024, too many open sockets, not a lack of
// memory), everything it took is given back and the next client is served.
TEST_F(ErrorPathTest, RunningOutOfDescriptorsAtEachStepTellsWhyAndLeavesNothing) {
    CPiecesServer server("answer", 1);
    const std::uint16_t nLocal = Listen(server.Port());
    struct CCase {
        win::CFaultRule fault;
        const wchar_t* pszLog;
        bool bOwnThread = false;  // the server connection's loop runs on a thread of its own
    };
    const CCase cases[] = {
        {{.call = win::FaultCall::Socket, .nErrno = EMFILE}, L"Connect to the server failed! "},
        {{.call = win::FaultCall::Socket, .nErrno = ENFILE}, L"Connect to the server failed! "},
        {{.call = win::FaultCall::CreateEvent, .nErrno = EMFILE},
         L"No event object for the relay from the "},
        {{.call = win::FaultCall::CreateEvent, .nErrno = EMFILE, .nSkip = 1},
         L"No event object for the relay from the ",
         true},
    };
    int nCase = 0;
    for (const CCase& c : cases) {
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount <= 1; }, 15s));
        const std::size_t nSockets = win::OpenSocketCount();
        SetRelayOnSessionThread(!c.bOwnThread);
        win::ArmFault(c.fault);
        const int fd = test::ConnectPosix(nLocal);
        const bool bSendReset =
            !test::SendAllPosix(fd, "request") && (errno == ECONNRESET || errno == EPIPE);
        const CReadEnd end = ReadToEnd(fd);
        ::close(fd);
        EXPECT_TRUE(end.bReset || bSendReset) << nCase;
        EXPECT_EQ(1, win::InjectedFaultCount()) << nCase;
        win::DisarmFaults();
        EXPECT_TRUE(test::WaitUntil(
            [&] {
                for (const test::CLogRow& row : m_log.Rows()) {
                    if (row.text.find(c.pszLog) != std::wstring::npos &&
                        row.text.find(L"error = 10024. Too many open sockets") !=
                            std::wstring::npos) {
                        return true;
                    }
                }
                return false;
            },
            10s))
            << nCase;
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount <= 1; }, 15s));
        EXPECT_TRUE(test::WaitUntil([&] { return win::OpenSocketCount() <= nSockets; }))
            << nCase << ": " << win::OpenSocketCount() << " sockets, " << nSockets << " before";
        EXPECT_TRUE(RoundTrip(nLocal, "answer")) << nCase;
        ++nCase;
    }
    for (const test::CLogRow& row : m_log.Rows()) {
        EXPECT_EQ(std::wstring::npos, row.text.find(L"Not enough memory")) << row.text.size();
    }
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, FailedBindTowardTheServerReleasesItsSocket) {
    CPiecesServer server("answer", 1);
    const std::uint16_t nLocal = Listen(server.Port());
    const std::size_t nSockets = win::OpenSocketCount();
    win::ArmFault({.call = win::FaultCall::Bind, .nErrno = EADDRINUSE, .nTimes = -1});
    for (int i = 0; i < 5; ++i) {
        const int fd = test::ConnectPosix(nLocal);
        const bool bSendReset =
            !test::SendAllPosix(fd, "request") && (errno == ECONNRESET || errno == EPIPE);
        const CReadEnd end = ReadToEnd(fd);  // the request went nowhere: a reset tells it
        EXPECT_TRUE(end.bReset || bSendReset) << i;
        ::close(fd);
    }
    EXPECT_TRUE(test::WaitUntil([&] {
        return CountSessionErrors(
                   L"Connect to the server failed! SOCKET ERROR: CSocketBlocking::Bind. "
                   L"error = 10048.") == 5;
    }));
    EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount <= 1; }, 15s));
    EXPECT_TRUE(test::WaitUntil([&] { return win::OpenSocketCount() <= nSockets; }))
        << win::OpenSocketCount() << " sockets, " << nSockets << " before";
    win::DisarmFaults();
    EXPECT_TRUE(RoundTrip(nLocal, "answer"));
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, SessionsThatCannotConnectLeaveListeningOff) {
    const std::uint16_t nDead = test::FreePort();
    // Two stop requests (two sessions that fail at once) never cancel out, as two toggles
    // would; one while listening is off starts nothing.
    Listen(nDead);
    g_Module.StopListening();
    g_Module.StopListening();
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);  // after both
    EXPECT_FALSE(m_pWindow->IsListening());
    g_Module.StopListening();
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    EXPECT_FALSE(m_pWindow->IsListening());

    // End to end: clients at once toward a server that refuses.
    const std::uint16_t nLocal = Listen(nDead);
    const int fd1 = test::ConnectPosix(nLocal);
    const int fd2 = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::WaitUntil([&] { return !Messages().empty(); }, 10s));
    ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }, 10s));
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);  // after every stop request
    EXPECT_FALSE(m_pWindow->IsListening());
    ::close(fd1);
    ::close(fd2);
    ExpectNothingLeft();
}

// Saving a copy of a response never touches the relayed traffic: a file that cannot be
// written is told once and the client gets every byte.
class SaveFailureTest : public ErrorPathTest {
protected:
    void RunOneResponse(const std::string& strDataFolder) {
        CRegKeyTalvex settings;
        settings.SetSaveResponse(true);
        settings.SetDataFolder(std::wstring(strDataFolder.begin(), strDataFolder.end()).c_str());
        const std::string body = test::Pattern(1 << 20);
        CPiecesServer server(test::CHttpTestServer::Response("image/png", body), 16);
        const std::uint16_t nLocal = Listen(server.Port());
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_TRUE(test::SendAllPosix(fd, "GET /big.png HTTP/1.1\r\nHost: x\r\n\r\n"));
        std::string got;
        ASSERT_TRUE(test::ReadAnswer(fd, &got));
        ::close(fd);
        EXPECT_EQ(body.size(), got.size());
        EXPECT_TRUE(body == got);
        const std::wstring strPrefix = L"\nSave to \"" +
                                       std::wstring(strDataFolder.begin(), strDataFolder.end()) +
                                       L"/127.0.0.1/big.png\" failed! ";
        ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
        int nFailures = 0;
        for (const test::CLogRow& row : m_log.Rows()) {
            nFailures += row.text.starts_with(strPrefix) ? 1 : 0;
        }
        EXPECT_EQ(1, nFailures);
        // What was saved is kept under a name that says it is cut.
        EXPECT_FALSE(std::filesystem::exists(strDataFolder + "/127.0.0.1/big.png"));
        EXPECT_TRUE(std::filesystem::exists(strDataFolder + "/127.0.0.1/big.png.partial"));
        ExpectNothingLeft();
    }
};

TEST_F(SaveFailureTest, FailedWriteIsLoggedOnceAndTheAnswerArrivesWhole) {
    CTempFolder data;
    win::ArmFault({.call = win::FaultCall::SaveWrite, .nErrno = EIO, .nSkip = 2});
    RunOneResponse(data.Path());
}

TEST_F(SaveFailureTest, FullDiskIsLoggedOnceAndTheAnswerArrivesWhole) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system for the full disk needs root";
    }
    CTempFolder data;
    if (::mount("tmpfs", data.Path().c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs for the full disk: " << std::strerror(errno);
    }
    RunOneResponse(data.Path());
    EXPECT_EQ(0, ::umount2(data.Path().c_str(), MNT_DETACH));
}

// A failed wait of a receive loop (and below, a failed half close) ends the session like a failed
// receive: both peers are reset (neither takes a cut stream for a whole one, neither waits
// for ever), the log says what failed, and nothing of the session is left.
TEST_F(ErrorPathTest, AFailedWaitOfEitherLoopResetsBothPeersAndLeavesNothing) {
    const std::string answer = test::Pattern(1 << 20);
    CPiecesServer server(answer, 16);
    const std::uint16_t nLocal = Listen(server.Port());
    struct CCase {
        win::CFaultRule fault;
        const wchar_t* pszLog;
        bool bOwnThread = false;  // the server connection's loop runs on a thread of its own
        int nErrors = 1;          // of this text in the log, this session's included
    };
    const CCase cases[] = {
        {{.call = win::FaultCall::Poll, .nErrno = ENOMEM, .nSkip = 2, .nPeerPort = server.Port()},
         L"Waiting for the server failed! SOCKET ERROR: "
         L"CSocketBlocking::Proc(...). WSAWaitForMultipleEvents(). error = 10055.",
         true},
        {{.call = win::FaultCall::Poll, .nErrno = ENOMEM, .nLocalPort = nLocal},
         L"Waiting for the local client failed! SOCKET ERROR: ",
         true},
        // One loop for both peers: its wait fails in the middle of the answer.
        {{.call = win::FaultCall::Poll, .nErrno = ENOMEM, .nSkip = 4, .nLocalPort = nLocal},
         L"Waiting for the local client failed! SOCKET ERROR: "
         L"CSocketBlocking::Proc(...). WSAWaitForMultipleEvents(). error = 10055.",
         false,
         2},
    };
    int nSession = 0;
    for (const CCase& c : cases) {
        SetRelayOnSessionThread(!c.bOwnThread);
        win::ArmFault(c.fault);
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_TRUE(test::SendAllPosix(fd, "request"));
        const CReadEnd end = ReadToEnd(fd);
        ::close(fd);
        EXPECT_TRUE(end.bReset) << nSession << ": " << end.data.size() << " bytes, "
                                << (end.bClean ? "a clean end" : "no end");
        EXPECT_LT(end.data.size(), answer.size());
        EXPECT_EQ(1, win::InjectedFaultCount());
        win::DisarmFaults();
        EXPECT_TRUE(test::WaitUntil([&] { return CountSessionErrors(c.pszLog) == c.nErrors; }, 10s))
            << nSession;
        // The server's connection is reset while it sends (the local loop may fail before
        // the request reached it; ExpectNothingLeft covers that one).
        EXPECT_TRUE(nSession > 0 || test::WaitUntil([&] { return server.Ended() == 1; }, 15s))
            << "the server's connection was left open";
        EXPECT_TRUE(test::WaitUntil([] { return g_nClientsCount <= 1; }, 15s));
        ++nSession;
    }
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, AFailedHalfCloseTowardEitherPeerResetsBoth) {
    // The server answers and closes; the half close toward the local client fails.
    test::CTestServer closing([](int fd) {
        char request[4096];
        if (::recv(fd, request, sizeof(request), 0) > 0) {
            test::SendAllPosix(fd, "answer");
        }
    });
    const std::uint16_t nLocal = Listen(closing.Port());
    win::ArmFault({.call = win::FaultCall::Shutdown, .nErrno = ENOTCONN, .nLocalPort = nLocal});
    int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "request"));
    CReadEnd end = ReadToEnd(fd, 5s);
    ::close(fd);
    EXPECT_TRUE(end.bReset) << end.data.size() << " bytes, "
                            << (end.bClean ? "a clean end" : "no end");
    EXPECT_EQ(1, win::InjectedFaultCount());
    EXPECT_TRUE(
        WaitForSessionError(0, L"Passing the server's close on to the local client failed! "));
    win::DisarmFaults();
    ExpectNothingLeft();
}

TEST_F(ErrorPathTest, AFailedHalfCloseTowardTheServerResetsIt) {
    std::promise<CReadEnd> serverEnd;
    test::CTestServer server([&](int fd) { serverEnd.set_value(ReadToEnd(fd)); });
    const std::uint16_t nLocal = Listen(server.Port());
    win::ArmFault(
        {.call = win::FaultCall::Shutdown, .nErrno = ENOTCONN, .nPeerPort = server.Port()});
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "request"));
    ASSERT_TRUE(WaitForLog(L"request"));
    ::shutdown(fd, SHUT_WR);  // the local client is done sending
    const CReadEnd end = ReadToEnd(fd, 5s);
    ::close(fd);
    EXPECT_TRUE(end.bReset || end.bClean) << "the local client was left waiting";
    auto serverFuture = serverEnd.get_future();
    ASSERT_EQ(std::future_status::ready, serverFuture.wait_for(15s));
    EXPECT_TRUE(serverFuture.get().bReset) << "the server was left waiting, or saw a clean end";
    EXPECT_TRUE(
        WaitForSessionError(0, L"Passing the local client's close on to the server failed! "));
    win::DisarmFaults();
    ExpectNothingLeft();
}

}  // namespace
