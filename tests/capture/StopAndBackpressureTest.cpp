// How sessions end: a client that stops reading is held by backpressure instead of being
// cut, a stop ends every session with a reset toward both peers, and a close that left
// the window open does not end the next listening run.
#include "RelayFixture.h"

namespace {

using namespace std::chrono_literals;

class StopAndBackpressureTest : public test::RelayFixture {};

// A client with a small receive buffer (set before connecting, so the system does not grow
// it): the relay's sends to it wait within the first few MiB. -1 on failure.
int ConnectSlowReader(std::uint16_t nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nBuffer = 64 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof(nBuffer));
    sockaddr_in addr = test::Loopback(nPort);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer ends the connection; the errno of the end (0: an orderly close).
int ReadToEnd(int fd, std::size_t* pnBytes, std::chrono::milliseconds timeout) {
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        *pnBytes += static_cast<std::size_t>(n);
    }
    return ETIMEDOUT;
}

TEST_F(StopAndBackpressureTest, ClientThatPausesReadingGetsEveryByteLater) {
    constexpr std::size_t kSize = 16u << 20;
    const std::string data = test::Pattern(kSize);
    test::CTestServer server([&data](int fd) {
        test::SendAllPosix(fd, data);
        test::ReceiveAllPosix(fd);
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = ConnectSlowReader(nLocal);
    ASSERT_GE(fd, 0);
    // Longer than any send time-out the relay ever had: a debugger, a save prompt.
    std::this_thread::sleep_for(12s);
    const std::string received = test::ReceiveExactlyPosix(fd, kSize);
    EXPECT_EQ(kSize, received.size());
    EXPECT_TRUE(received == data) << "the bytes differ";
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 15s));
    for (const test::CLogRow& row : m_log.Rows()) {
        EXPECT_EQ(std::wstring::npos, row.text.find(L"timeout")) << row.text;
    }
}

// The server sends its answer and closes; the client pauses near the end of it, longer than
// the relay waits for a quiet client. What is on its way still arrives, then the end.
TEST_F(StopAndBackpressureTest, AServerThatClosedEndsInOrderAfterAPausedClientReadsAll) {
    constexpr std::size_t kSize = 8u << 20;
    const std::string data = test::Pattern(kSize);
    test::CTestServer server([&data](int fd) { test::SendAllPosix(fd, data); });
    const std::uint16_t nLocal = StartListening(server.Port());
    const int fd = ConnectSlowReader(nLocal);
    ASSERT_GE(fd, 0);
    std::string received = test::ReceiveExactlyPosix(fd, kSize - (1u << 20));
    ASSERT_EQ(kSize - (1u << 20), received.size());
    std::this_thread::sleep_for(12s);
    std::size_t nRest = 0;
    char buffer[65536];
    int nEnd = -1;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 15000) != 1) {
            nEnd = ETIMEDOUT;
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            nEnd = n == 0 ? 0 : errno;
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
        nRest += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(0, nEnd) << "the answer was complete: it ends in order";
    EXPECT_EQ(std::size_t{1} << 20, nRest);
    EXPECT_TRUE(received == data) << "the bytes differ";
    ::close(fd);
    ASSERT_TRUE(WaitForLog(L"\r\nSession 0 stopped.", 15s));
}

TEST_F(StopAndBackpressureTest, StopResetsBothPeersInTheMiddleOfATransfer) {
    std::atomic<int> nServerEnd{-1};
    // A server that streams an answer without a length until its connection breaks.
    test::CTestServer server([&nServerEnd](int fd) {
        const std::string chunk(4096, 'x');
        for (int n = 0; n < 20000; ++n) {
            if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) {
                nServerEnd = errno;
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
        nServerEnd = 0;
    });
    const std::uint16_t nLocal = StartListening(server.Port());
    std::vector<int> clients;
    for (int n = 0; n < 3; ++n) {
        clients.push_back(test::ConnectPosix(nLocal));
        ASSERT_GE(clients.back(), 0);
        EXPECT_EQ(4096u, test::ReceiveExactlyPosix(clients.back(), 4096).size());
    }
    ToggleListening(false);  // the toolbar's Listen: stop
    for (const int fd : clients) {
        std::size_t nBytes = 0;
        EXPECT_EQ(ECONNRESET, ReadToEnd(fd, &nBytes, 5s))
            << "a clean close would pass a cut answer for a whole one";
        ::close(fd);
    }
    ASSERT_TRUE(test::WaitUntil([&] { return nServerEnd.load() != -1; }, 10s));
    EXPECT_TRUE(nServerEnd == ECONNRESET || nServerEnd == EPIPE) << nServerEnd.load();
}

TEST_F(StopAndBackpressureTest, CloseWithoutSessionsDoesNotEndTheNextRun) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 2000); });
    const std::uint16_t nLocal = StartListening(server.Port());
    // Closing while listening with no session open only stops listening.
    m_pWindow->PostMessage(WM_CLOSE, 0, 0);
    ASSERT_TRUE(test::WaitUntil([this] { return !m_pWindow->IsListening(); }));
    ASSERT_TRUE(m_pWindow->IsRunning());

    // Listening again: sessions come and go, and listening goes on after each.
    m_pWindow->SetConnectionSettings(L"127.0.0.1", nLocal, server.Port());
    ToggleListening(true);
    ASSERT_TRUE(m_pWindow->IsListening());
    for (int n = 0; n < 2; ++n) {
        const int fd = test::ConnectPosix(nLocal);
        ASSERT_GE(fd, 0) << n;
        ASSERT_TRUE(test::SendAllPosix(fd, "ping"));
        EXPECT_EQ("ping", test::ReceiveExactlyPosix(fd, 4));
        ::close(fd);
        ASSERT_TRUE(test::WaitUntil([] { return g_nClientsCount == 0; }));
    }
    m_pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    EXPECT_TRUE(m_pWindow->IsListening());
    EXPECT_TRUE(m_pWindow->IsRunning());
}

}  // namespace
