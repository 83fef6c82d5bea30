// The relay end to end on loopback: listener, sessions, clients, the log and the window's
// messages, with real servers and clients.
#include <dirent.h>

#include <fstream>
#include <future>
#include <random>

#include "RelayFixture.h"
#include "capture/SplitLines.h"
#include "support/SystemErrorText.h"

namespace {

using namespace std::chrono_literals;
using test::CLogRow;

class RelayTest : public test::RelayFixture {};

// The system's text of a code without its line end, as messages carry it.
std::wstring ReasonText(int nCode) {
    std::wstring strText = GetSystemErrorText(static_cast<DWORD>(nCode));
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r')) {
        strText.pop_back();
    }
    return strText;
}

TEST_F(RelayTest, OneRequestAndAnswerGiveTheEightLogRowsInOrder) {
    test::CTestServer server([](int fd) {
        if (test::ReceiveExactlyPosix(fd, 5) == "hello") {
            test::SendAllPosix(fd, "answer");
        }
        test::ReceiveAllPosix(fd);  // until the relay passes on the client's close
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAllPosix(fd, "hello"));
    EXPECT_EQ("answer", test::ReceiveExactlyPosix(fd, 6));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    ASSERT_TRUE(test::WaitUntil([this] { return m_log.Rows().size() >= 8; }));

    const std::vector<CLogRow> expected = {
        {L"\r\nSession 0 starts.", 1},  {L"", 2},
        {L"\r\n0---<---", 1},           {L"hello", 2},
        {L"\r\n0--->---", 1},           {L"answer", 2},
        {L"\r\nSession 0 stopped.", 1}, {L"", 2},
    };
    EXPECT_EQ(expected, m_log.Rows());
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_SESSIONS, L"1 session(s) open"));
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_SESSIONS, L"0 session(s) open"));
}

TEST_F(RelayTest, LiveSessionsNeverShareANumber) {
    test::CTestServer server([](int fd) { test::ReceiveAllPosix(fd); });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd0 = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 starts."));
    const int fd1 = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 1 starts."));
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_SESSIONS, L"2 session(s) open"));

    // Session 0 ends; the next connection takes the number that is free again, not a
    // second "1" while session 1 still runs.
    ::close(fd0);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    ASSERT_TRUE(test::WaitUntil([this] {
        return m_pWindow->GetStatusText(STATUS_PANE_SESSIONS) == L"1 session(s) open";
    }));  // session 0 deleted
    const int fd2 = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::WaitUntil([this] {
        int nStarts0 = 0;
        for (const CLogRow& row : m_log.Rows()) {
            nStarts0 += row.text == L"\r\nSession 0 starts." ? 1 : 0;
        }
        return nStarts0 == 2;
    }));
    ::close(fd1);
    ::close(fd2);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 1 stopped."));
}

TEST_F(RelayTest, RefusedServerShowsTheMessageAndStopsListening) {
    const std::uint16_t nDead = test::FreePort();
    const std::uint16_t nLocal = StartListening(nDead);
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    // The local client's connection is reset at once: an orderly close would look like an
    // empty answer.
    char c;
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pfd, 1, 5000));
    EXPECT_EQ(-1, ::recv(fd, &c, 1, 0));
    EXPECT_EQ(ECONNRESET, errno);
    ::close(fd);
    EXPECT_TRUE(test::WaitUntil([this] { return !m_pWindow->IsListening(); }));
    // The fixed text, then the reason on a line of its own.
    EXPECT_EQ(std::vector<std::wstring>{L"Connect to 127.0.0.1 host " + std::to_wstring(nDead) +
                                        L" port failed!\n" + ReasonText(WSAECONNREFUSED)},
              Messages());
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_TEXT, L"The listening was stopped"));

    // An unknown host the same way.
    const std::uint16_t nLocal2 = StartListening(80, L"http://no-such-host.invalid");
    const int fd2 = test::ConnectPosix(nLocal2);
    ASSERT_TRUE(test::WaitUntil([this] { return Messages().size() == 2; }));
    EXPECT_EQ(
        L"Connect to no-such-host.invalid host 80 port failed!\n" + ReasonText(WSAHOST_NOT_FOUND),
        Messages()[1]);
    // The session stops listening again before it writes its stop line.
    ASSERT_TRUE(test::WaitUntil([this] {
        int nStops = 0;
        for (const CLogRow& row : m_log.Rows()) {
            nStops += row.text == L"\r\nSession 0 stopped." ? 1 : 0;
        }
        return nStops == 2;
    }));
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);  // after the posted Listen command
    EXPECT_FALSE(m_pWindow->IsListening());
    ::close(fd2);
}

// The command name of this process (/proc/self/comm), as other processes see it.
std::string ThisProgram() {
    std::ifstream in("/proc/self/comm");
    std::string strName;
    std::getline(in, strName);
    return strName;
}

TEST_F(RelayTest, PortInUseShowsTheListenFailure) {
    test::CPosixListener other;
    m_pWindow->SetConnectionSettings(L"127.0.0.1", other.Port(), 80);
    ToggleListening(true);
    EXPECT_FALSE(m_pWindow->IsListening());
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(
        L"ERROR: CTapvaneView::ThreadListen() failed! SOCKET ERROR: CSocketBlocking::Bind. "
        L"error = 10048. " +
            GetSystemErrorText(10048) + L"\nport = " + std::to_wstring(other.Port()) + L"\nPort " +
            std::to_wstring(other.Port()) + L" is in use by another program: " +
            win::AnsiToWide(ThisProgram()) + L" (process " + std::to_wstring(::getpid()) + L").",
        Messages()[0]);
    // Listening did not start, and the status does not say it did.
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    EXPECT_FALSE(StatusShown(STATUS_PANE_TEXT, L"Start listening"));
}

TEST_F(RelayTest, StoppingListeningStopsOpenSessions) {
    test::CTestServer server([](int fd) { test::ReceiveAllPosix(fd); });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 starts."));
    ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount >= 1; }));  // the session's
    std::this_thread::sleep_for(50ms);                                  // both loops running
    ToggleListening(false);  // as the connection bar's button does
    EXPECT_FALSE(m_pWindow->IsListening());
    EXPECT_TRUE(WaitForStatus(STATUS_PANE_TEXT, L"The listening was stopped"));
    EXPECT_EQ(1, m_pWindow->GetBannerNotifications());
    EXPECT_FALSE(g_bCloseWhenNoClients);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
    EXPECT_EQ("", test::ReceiveAllPosix(fd));  // the local client sees the close
    ::close(fd);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RelayTest, ClosingWhileListeningClosesWhenTheLastClientEnds) {
    test::CTestServer server([](int fd) { test::ReceiveAllPosix(fd); });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 starts."));
    std::this_thread::sleep_for(50ms);
    g_Module.CloseMainWindow();
    // Listening stops with the close-when-no-clients flag; the session's end closes the
    // window, whose loop then returns 1.
    ASSERT_TRUE(test::WaitUntil([this] { return m_nExitCode == 1; }));
    EXPECT_TRUE(g_bCloseWhenNoClients);
    EXPECT_TRUE(mainWindowClosing);
    ::close(fd);
    // Run again to let teardown's own messages through.
    m_guiThread.join();
    m_guiThread = std::thread([this] { m_pWindow->Run(); });
}

TEST_F(RelayTest, BinaryPayloadsAreRelayedByteForByteBothWays) {
    test::CTestServer server([](int fd) {
        // Echo everything until the client's close arrives.
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0 ||
                !test::SendAllPosix(fd, std::string(buffer, static_cast<std::size_t>(n)))) {
                return;
            }
        }
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    std::mt19937 rng(7);
    std::string payload(4 << 20, '\0');
    for (char& c : payload) {
        const unsigned r = rng() % 8;
        c = r == 0 ? '\0' : r == 1 ? '\r' : r == 2 ? '\n' : static_cast<char>(rng());
    }
    const int fd = test::ConnectPosix(nLocal);
    auto echoed = std::async(std::launch::async, [fd, &payload] {
        return test::ReceiveExactlyPosix(fd, payload.size());
    });
    ASSERT_TRUE(test::SendAllPosix(fd, payload));
    const std::string back = echoed.get();
    EXPECT_EQ(payload.size(), back.size());
    EXPECT_TRUE(payload == back);
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

TEST_F(RelayTest, HalfClosedClientGetsALateAnswerWhole) {
    const std::string answer = test::Pattern(1 << 20);
    test::CTestServer server([&answer](int fd) {
        const std::string request = test::ReceiveAllPosix(fd);  // until the client half-closes
        if (request == "request") {
            std::this_thread::sleep_for(2s);
            test::SendAllPosix(fd, answer);
        }
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "request"));
    ::shutdown(fd, SHUT_WR);
    const std::string got = test::ReceiveAllPosix(fd);
    EXPECT_EQ(answer.size(), got.size());
    EXPECT_TRUE(answer == got);
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

TEST_F(RelayTest, ResetByTheServerEndsBothSidesAtOnce) {
    test::CTestServer server([](int fd) {
        test::ReceiveExactlyPosix(fd, 7);
        test::CloseWithReset(::dup(fd));  // the handler's own close follows on the copy
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "request"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("", test::ReceiveAllPosix(fd));  // closed without waiting for silence
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

TEST_F(RelayTest, HalfClosedSessionEndsAfterTenSilentSeconds) {
    std::atomic<bool> bRelease{false};
    test::CTestServer server([&bRelease](int fd) {
        test::ReceiveAllPosix(fd);  // the request, up to the relayed half-close
        while (!bRelease) {         // then never answers and never closes
            std::this_thread::sleep_for(10ms);
        }
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, "request"));
    ::shutdown(fd, SHUT_WR);
    const auto start = std::chrono::steady_clock::now();
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pfd, 1, 20000));
    const auto waited = std::chrono::steady_clock::now() - start;
    char c;
    EXPECT_EQ(0, ::recv(fd, &c, 1, 0));
    EXPECT_GE(waited, 9s);
    EXPECT_LT(waited, 15s);
    ::close(fd);
    bRelease = true;
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

TEST_F(RelayTest, ZeroBytesShowInTheLogAndAreSentWhole) {
    test::CTestServer server([](int fd) { test::ReceiveAllPosix(fd); });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = test::ConnectPosix(nLocal);
    ASSERT_TRUE(test::SendAllPosix(fd, std::string("ab\0cd", 5)));
    ASSERT_TRUE(WaitForLog(L"ab\u2400cd"));
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped."));
}

}  // namespace
