// Filters under socket handles: the calls and the event model go through the filter, on
// real loopback connections, with a filter that holds bytes the descriptor no longer has.
#include "platform/SocketFilter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "SocketTestSupport.h"

namespace {

using namespace win;

// On the wire each byte is flipped in its top bit (the test texts are ASCII) and 0x00 ends
// the stream, as close_notify does. A receive takes in all the descriptor has but gives at
// most four bytes, so that the rest waits in the filter.
class CFlipFilter : public ISocketFilter {
public:
    // `nShutdowns` counts the filter's ends; it outlives the filter, which goes with the
    // socket.
    CFlipFilter(int fd, std::atomic<int>& nShutdowns) : m_fd(fd), m_nShutdowns(nShutdowns) {}

    CFilterResult Recv(char* pBuffer, int nLength) override {
        std::lock_guard lock(m_mutex);
        TakeIn();
        const std::size_t nData = DataSize();
        if (nData == 0) {
            if (Ended()) {
                return {0, 0, 0};
            }
            return {-1, POLLIN, 0};
        }
        const std::size_t n = std::min({nData, std::size_t{4}, static_cast<std::size_t>(nLength)});
        for (std::size_t i = 0; i < n; ++i) {
            pBuffer[i] = static_cast<char>(m_in[i] ^ 0x80);
        }
        m_in.erase(0, n);
        return {static_cast<int>(n), 0, 0};
    }
    CFilterResult Send(const char* pData, int nLength) override {
        std::string wire(pData, static_cast<std::size_t>(nLength));
        for (char& c : wire) {
            c = static_cast<char>(c ^ 0x80);
        }
        return Write(wire);
    }
    CFilterResult Shutdown() override {
        ++m_nShutdowns;
        return Write(std::string(1, '\0'));
    }
    CFilterReadState ReadState() override {
        std::lock_guard lock(m_mutex);
        TakeIn();
        return {static_cast<int>(DataSize()), DataSize() == 0 && Ended(), 0, POLLIN};
    }

private:
    CFilterResult Write(const std::string& wire) {
        const ssize_t n = ::send(m_fd, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return {static_cast<int>(n), 0, 0};
        }
        return errno == EAGAIN ? CFilterResult{-1, POLLOUT, 0} : CFilterResult{-1, 0, errno};
    }
    void TakeIn() {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
            m_in.append(buffer, static_cast<std::size_t>(n));
        }
        m_bFin = m_bFin || n == 0;
    }
    std::size_t DataSize() const { return std::min(m_in.find('\0'), m_in.size()); }
    bool Ended() const { return m_bFin || (!m_in.empty() && m_in[0] == '\0'); }

    const int m_fd;
    std::atomic<int>& m_nShutdowns;
    std::mutex m_mutex;
    std::string m_in;
    bool m_bFin = false;
};

std::string Flip(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(c ^ 0x80);
    }
    return text;
}

class SocketFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(0x0002, &data));
        test::CPosixListener listener;
        m_s = win::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = test::Loopback(listener.Port());
        ASSERT_EQ(0, win::connect(m_s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        m_peer = listener.Accept();
        ASSERT_GE(m_peer, 0);
        ASSERT_EQ(0, AttachSocketFilter(
                         m_s, std::make_unique<CFlipFilter>(SocketDescriptor(m_s), m_nShutdowns)));
    }
    void TearDown() override {
        if (m_s != INVALID_SOCKET) {
            closesocket(m_s);
        }
        if (m_peer >= 0) {
            ::close(m_peer);
        }
        WSACleanup();
    }

    // The network events of the next wait (none after the time-out).
    long NextEvents(WSAEVENT ev, int* pnCloseError = nullptr, DWORD dwTimeout = 2000) {
        if (WSAWaitForMultipleEvents(1, &ev, FALSE, dwTimeout, FALSE) != WSA_WAIT_EVENT_0) {
            return 0;
        }
        WSANETWORKEVENTS events{};
        EXPECT_EQ(0, WSAEnumNetworkEvents(m_s, ev, &events));
        if (pnCloseError != nullptr) {
            *pnCloseError = events.iErrorCode[FD_CLOSE_BIT];
        }
        return events.lNetworkEvents;
    }

    SOCKET m_s = INVALID_SOCKET;
    int m_peer = -1;
    std::atomic<int> m_nShutdowns{0};
};

TEST_F(SocketFilterTest, BytesHeldByTheFilterKeepReportingReadUntilTaken) {
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(m_s, ev, FD_READ | FD_CLOSE));
    ASSERT_TRUE(test::SendAllPosix(m_peer, Flip("hello, filtered world")));
    std::string received;
    // Each receive gives four bytes; after the first the descriptor is empty, and only the
    // filter knows that more is there: without FD_READ from it the loop would stall.
    while (received.size() < 21) {
        ASSERT_EQ(FD_READ, NextEvents(ev)) << received;
        char buffer[64];
        const int n = win::recv(m_s, buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        received.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ("hello, filtered world", received);
    EXPECT_EQ(0, NextEvents(ev, nullptr, 100));  // nothing more, no spurious event
    WSACloseEvent(ev);
}

TEST_F(SocketFilterTest, FilterEndAndFinReadAsOrderlyClose) {
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(m_s, ev, FD_READ | FD_CLOSE));
    // The filter's end without a FIN: the connection stays open, the stream has ended.
    ASSERT_TRUE(test::SendAllPosix(m_peer, Flip("ab") + std::string(1, '\0')));
    ASSERT_EQ(FD_READ, NextEvents(ev));
    char buffer[16];
    ASSERT_EQ(2, win::recv(m_s, buffer, sizeof(buffer), 0));
    int nCloseError = -1;
    EXPECT_EQ(FD_CLOSE, NextEvents(ev, &nCloseError));
    EXPECT_EQ(0, nCloseError);
    EXPECT_EQ(0, win::recv(m_s, buffer, sizeof(buffer), 0));
    unsigned long ulQueued = 1;
    EXPECT_EQ(0, ioctlsocket(m_s, FIONREAD_, &ulQueued));
    EXPECT_EQ(0u, ulQueued);
    WSACloseEvent(ev);
}

TEST_F(SocketFilterTest, SendAndShutdownPassThroughTheFilter) {
    ASSERT_EQ(5, win::send(m_s, "hello", 5, 0));
    EXPECT_EQ(Flip("hello"), test::ReceiveExactlyPosix(m_peer, 5));
    // The filter's end goes before the FIN.
    ASSERT_EQ(0, win::shutdown(m_s, SD_SEND));
    EXPECT_EQ(1, m_nShutdowns.load());
    EXPECT_EQ(std::string(1, '\0'), test::ReceiveAllPosix(m_peer));
    EXPECT_EQ(SOCKET_ERROR, win::send(m_s, "x", 1, 0));
    EXPECT_EQ(WSAESHUTDOWN, WSAGetLastError());
    // Closing after the shutdown sends no second end.
    ASSERT_EQ(0, closesocket(m_s));
    m_s = INVALID_SOCKET;
    EXPECT_EQ(1, m_nShutdowns.load());
}

TEST_F(SocketFilterTest, OrderlyCloseSendsTheFilterEnd) {
    ASSERT_EQ(0, closesocket(m_s));
    m_s = INVALID_SOCKET;
    EXPECT_EQ(std::string(1, '\0'), test::ReceiveAllPosix(m_peer));
}

TEST_F(SocketFilterTest, ResettingCloseStaysAReset) {
    const linger lg{1, 0};
    ASSERT_EQ(0, win::setsockopt(m_s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)));
    ASSERT_EQ(0, closesocket(m_s));
    m_s = INVALID_SOCKET;
    EXPECT_EQ(0, m_nShutdowns.load());
    pollfd pfd{m_peer, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pfd, 1, 5000));
    char c = 0;
    EXPECT_EQ(-1, ::recv(m_peer, &c, 1, 0));
    EXPECT_EQ(ECONNRESET, errno);
}

TEST_F(SocketFilterTest, HandleModeDecidesWhetherCallsWait) {
    // The descriptor is non-blocking under the filter whatever the handle's mode.
    const int fd = SocketDescriptor(m_s);
    EXPECT_NE(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);

    // A blocking handle: the receive waits for the peer.
    auto received = std::async(std::launch::async, [this] {
        char buffer[16];
        const int n = win::recv(m_s, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    });
    EXPECT_EQ(std::future_status::timeout, received.wait_for(std::chrono::milliseconds(100)));
    ASSERT_TRUE(test::SendAllPosix(m_peer, Flip("late")));
    ASSERT_EQ(std::future_status::ready, received.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ("late", received.get());

    char buffer[16];
    EXPECT_EQ(SOCKET_ERROR, win::recv(m_s, buffer, sizeof(buffer), MSG_DONTWAIT));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    unsigned long ulOn = 1;
    ASSERT_EQ(0, ioctlsocket(m_s, FIONBIO_, &ulOn));
    EXPECT_EQ(SOCKET_ERROR, win::recv(m_s, buffer, sizeof(buffer), 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    EXPECT_NE(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);

    // Held bytes count for FIONREAD and select, though the descriptor has none.
    ASSERT_TRUE(test::SendAllPosix(m_peer, Flip("0123456789")));
    ASSERT_TRUE(test::WaitUntil([&] {
        unsigned long ulQueued = 0;
        return ioctlsocket(m_s, FIONREAD_, &ulQueued) == 0 && ulQueued == 10;
    }));
    ASSERT_EQ(4, win::recv(m_s, buffer, sizeof(buffer), 0));
    const timeval zero{0, 0};
    EXPECT_EQ(1, win::select(m_s, SelectFor::Read, &zero));
}

TEST_F(SocketFilterTest, CloseWakesAReceiveBlockedInTheFilter) {
    const SOCKET s = m_s;
    m_s = INVALID_SOCKET;
    auto received = std::async(std::launch::async, [s] {
        char buffer[16];
        return win::recv(s, buffer, sizeof(buffer), 0);
    });
    EXPECT_EQ(std::future_status::timeout, received.wait_for(std::chrono::milliseconds(100)));
    ASSERT_EQ(0, closesocket(s));
    ASSERT_EQ(std::future_status::ready, received.wait_for(std::chrono::seconds(5)));
    EXPECT_LE(received.get(), 0);
}

TEST_F(SocketFilterTest, OneFilterPerHandle) {
    EXPECT_EQ(SOCKET_ERROR,
              AttachSocketFilter(m_s, std::make_unique<CFlipFilter>(-1, m_nShutdowns)));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR,
              AttachSocketFilter(0x7FFFFFF0u, std::make_unique<CFlipFilter>(-1, m_nShutdowns)));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

}  // namespace
