// The socket layer against real loopback connections: the Linux pitfalls it must hide and
// the event model that the receive loop relies on.
#include "platform/Winsock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"
#include "platform/FaultInjection.h"
#include "platform/Kernel.h"
#include "platform/SocketFilter.h"
#include "platform/SystemText.h"

namespace {

using namespace win;

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(0x0002, &data));
    }
    void TearDown() override { WSACleanup(); }

    // A listening socket of the layer on a free loopback port.
    SOCKET ListenLoopback(std::uint16_t* pnPort) {
        const SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = test::Loopback(0);
        EXPECT_EQ(0, win::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        EXPECT_EQ(0, win::listen(s, 5));
        int nLen = sizeof(addr);
        EXPECT_EQ(0, win::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &nLen));
        *pnPort = ntohs(addr.sin_port);
        return s;
    }

    // A connected pair: the layer's socket and a plain POSIX peer.
    SOCKET ConnectedPair(int* pPeer) {
        test::CPosixListener listener;
        const SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = test::Loopback(listener.Port());
        EXPECT_EQ(0, win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        *pPeer = listener.Accept();
        EXPECT_GE(*pPeer, 0);
        return s;
    }

    // Waits for the event and returns the network events recorded for `s`.
    static WSANETWORKEVENTS WaitEvents(SOCKET s, WSAEVENT ev, DWORD dwTimeout = 5000) {
        WSANETWORKEVENTS events{};
        EXPECT_EQ(WSA_WAIT_EVENT_0, WSAWaitForMultipleEvents(1, &ev, FALSE, dwTimeout, FALSE));
        EXPECT_EQ(0, WSAEnumNetworkEvents(s, ev, &events));
        return events;
    }
};

TEST_F(WinsockTest, ClosingListenerWakesBlockedAcceptWithInterrupt) {
    std::uint16_t nPort = 0;
    const SOCKET s = ListenLoopback(&nPort);
    auto accepted = std::async(std::launch::async, [s] {
        const SOCKET a = win::accept(s, nullptr, nullptr);
        return std::make_pair(a, WSAGetLastError());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in accept
    ASSERT_EQ(0, closesocket(s));
    ASSERT_EQ(std::future_status::ready, accepted.wait_for(std::chrono::seconds(5)));
    const auto [a, nError] = accepted.get();
    EXPECT_EQ(INVALID_SOCKET, a);
    EXPECT_EQ(WSAEINTR, nError);
    // The port is free again once the accept has let go of the socket.
    const int fd = test::ConnectPosix(nPort);
    EXPECT_EQ(-1, fd);
}

TEST_F(WinsockTest, ClosedHandleNeverReachesASocketOpenedLater) {
    int nPeer1 = -1;
    const SOCKET s1 = ConnectedPair(&nPeer1);
    ASSERT_EQ(0, closesocket(s1));
    // The kernel hands the same descriptor number to the next socket at once.
    int nPeer2 = -1;
    const SOCKET s2 = ConnectedPair(&nPeer2);
    EXPECT_NE(s1, s2);
    EXPECT_EQ(SOCKET_ERROR, win::send(s1, "x", 1, 0));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, closesocket(s1));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    // s2 still works and nothing arrived from the stale handle.
    ASSERT_EQ(1, win::send(s2, "y", 1, 0));
    char c = 0;
    ASSERT_EQ(1, ::recv(nPeer2, &c, 1, 0));
    EXPECT_EQ('y', c);
    closesocket(s2);
    ::close(nPeer1);
    ::close(nPeer2);
}

// Switching the blocking mode: a receive with nothing there fails at once only while the
// socket is non-blocking, whatever the switches before (repeated ones included), and the
// descriptor's mode is what the last switch asked for.
TEST_F(WinsockTest, BlockingModeFollowsEverySwitch) {
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    const int fd = SocketDescriptor(s);
    char c = 0;
    for (const unsigned long ulOn : {1ul, 1ul, 0ul, 0ul, 1ul, 0ul, 1ul}) {
        unsigned long ulArg = ulOn;
        ASSERT_EQ(0, ioctlsocket(s, FIONBIO_, &ulArg));
        const int nFlags = ::fcntl(fd, F_GETFL);
        EXPECT_EQ(ulOn != 0, (nFlags & O_NONBLOCK) != 0);
        EXPECT_EQ(O_RDWR, nFlags & O_ACCMODE);
        if (ulOn != 0) {
            EXPECT_EQ(SOCKET_ERROR, win::recv(s, &c, 1, 0));
            EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
        }
    }
    // Blocking again: the receive waits for the byte sent a moment later.
    unsigned long ulOff = 0;
    ASSERT_EQ(0, ioctlsocket(s, FIONBIO_, &ulOff));
    std::thread sender([nPeer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(1, ::send(nPeer, "x", 1, 0));
    });
    EXPECT_EQ(1, win::recv(s, &c, 1, 0));
    EXPECT_EQ('x', c);
    sender.join();
    ::close(nPeer);
    closesocket(s);
}

TEST_F(WinsockTest, SendToVanishedPeerFailsWithoutSignal) {
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    test::CloseWithReset(nPeer);
    const std::string block(65536, 'z');
    int nResult = 0;
    for (int i = 0; i < 100 && nResult != SOCKET_ERROR; ++i) {
        nResult = win::send(s, block.data(), static_cast<int>(block.size()), 0);
    }
    // Still alive: the process did not get SIGPIPE.
    EXPECT_EQ(SOCKET_ERROR, nResult);
    const int nError = WSAGetLastError();
    EXPECT_TRUE(nError == WSAECONNRESET || nError == WSAECONNABORTED) << nError;
    closesocket(s);
}

TEST_F(WinsockTest, WaitsWorkOnDescriptorsAbove1024) {
    rlimit lim{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));
    if (lim.rlim_max < 1200) {
        GTEST_SKIP() << "descriptor limit too low: " << lim.rlim_max;
    }
    const rlimit saved = lim;
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    std::vector<int> fillers;
    for (int i = 0; i < 1100; ++i) {
        fillers.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    ASSERT_GE(fillers.back(), 1024);

    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    const timeval tv{0, 100000};
    EXPECT_EQ(0, win::select(s, SelectFor::Read, &tv));  // nothing yet: time-out
    ASSERT_EQ(1, ::send(nPeer, "a", 1, 0));
    const timeval tv5{5, 0};
    EXPECT_EQ(1, win::select(s, SelectFor::Read, &tv5));
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
    EXPECT_EQ(FD_READ, WaitEvents(s, ev).lNetworkEvents);

    WSACloseEvent(ev);
    closesocket(s);
    ::close(nPeer);
    for (int fd : fillers) {
        ::close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(WinsockTest, ResolvesConcurrentlyAndReportsUnknownHosts) {
    std::vector<std::future<std::pair<int, in_addr_t>>> results;
    for (int i = 0; i < 8; ++i) {
        results.push_back(std::async(std::launch::async, [] {
            std::pair<int, in_addr_t> r{-1, 0};
            for (int k = 0; k < 50; ++k) {
                in_addr addr{};
                r.first = ResolveHostByName("localhost", &addr);
                r.second = addr.s_addr;
                if (r.first != 0 || r.second != htonl(INADDR_LOOPBACK)) {
                    break;
                }
            }
            return r;
        }));
    }
    for (auto& f : results) {
        const auto [nResult, addr] = f.get();
        EXPECT_EQ(0, nResult);
        EXPECT_EQ(htonl(INADDR_LOOPBACK), addr);
    }
    in_addr addr{};
    EXPECT_EQ(SOCKET_ERROR, ResolveHostByName("no-such-host.invalid", &addr));
    EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetLastError());
}

TEST_F(WinsockTest, SocketIsNeverHandleZeroEvenWhenDescriptorZeroIsFree) {
    const int nSaved = ::dup(0);
    ::close(0);
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);  // the first free descriptor is 0 now
    ::dup2(nSaved, 0);
    ::close(nSaved);
    EXPECT_NE(0u, s);
    EXPECT_NE(INVALID_SOCKET, s);
    ASSERT_EQ(2, win::send(s, "ok", 2, 0));
    char buf[2];
    ASSERT_EQ(2, ::recv(nPeer, buf, 2, MSG_WAITALL));
    closesocket(s);
    ::close(nPeer);
}

TEST_F(WinsockTest, OrderlyCloseAndResetAreTold) {
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
    ::shutdown(nPeer, SHUT_WR);
    WSANETWORKEVENTS events = WaitEvents(s, ev);
    EXPECT_EQ(FD_CLOSE, events.lNetworkEvents);
    EXPECT_EQ(0, events.iErrorCode[FD_CLOSE_BIT]);
    // FD_CLOSE comes once: later waits time out.
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &ev, FALSE, 50, FALSE));
    closesocket(s);
    ::close(nPeer);

    const SOCKET s2 = ConnectedPair(&nPeer);
    ASSERT_EQ(0, WSAEventSelect(s2, ev, FD_READ | FD_CLOSE));
    test::CloseWithReset(nPeer);
    events = WaitEvents(s2, ev);
    EXPECT_TRUE(events.lNetworkEvents & FD_CLOSE);
    EXPECT_EQ(WSAECONNRESET, events.iErrorCode[FD_CLOSE_BIT]);
    closesocket(s2);
    WSACloseEvent(ev);
}

TEST_F(WinsockTest, ReadEventIsReArmedByEachReceive) {
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
    ASSERT_EQ(4, ::send(nPeer, "abcd", 4, 0));
    EXPECT_EQ(FD_READ, WaitEvents(s, ev).lNetworkEvents);
    // Without a receive no new FD_READ is recorded, even when more data comes.
    ASSERT_EQ(2, ::send(nPeer, "ef", 2, 0));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &ev, FALSE, 50, FALSE));
    // A receive that leaves data queued records it again.
    char buf[8];
    ASSERT_EQ(3, win::recv(s, buf, 3, 0));
    EXPECT_EQ(FD_READ, WaitEvents(s, ev).lNetworkEvents);
    ASSERT_EQ(3, win::recv(s, buf, 8, 0));
    EXPECT_EQ(0, std::string(buf, 3).compare("def"));
    // Now empty, and the socket is non-blocking: would-block.
    EXPECT_EQ(SOCKET_ERROR, win::recv(s, buf, 8, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    closesocket(s);
    ::close(nPeer);
    WSACloseEvent(ev);
}

// The receive loop's pattern: wait, enumerate, receive. Data that a close follows at once
// is all handed over, and the close is told once, after it or with its last part; the
// event then stays quiet.
TEST_F(WinsockTest, DataFollowedByACloseIsAllReadAndTheCloseToldOnce) {
    for (const std::size_t nSize : {std::size_t{3}, std::size_t{300000}}) {
        int nPeer = -1;
        const SOCKET s = ConnectedPair(&nPeer);
        const WSAEVENT ev = WSACreateEvent();
        ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
        const std::string sent(nSize, 'x');
        std::thread writer([nPeer, &sent] {
            ASSERT_EQ(static_cast<ssize_t>(sent.size()),
                      ::send(nPeer, sent.data(), sent.size(), 0));
            ::shutdown(nPeer, SHUT_WR);
        });
        std::string got;
        int nCloses = 0;
        std::vector<char> buffer(65536);
        for (int nRound = 0; nRound < 1000 && nCloses == 0; ++nRound) {
            const WSANETWORKEVENTS events = WaitEvents(s, ev);
            if (events.lNetworkEvents & FD_READ) {
                const int n = win::recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
                if (n > 0) {
                    got.append(buffer.data(), static_cast<std::size_t>(n));
                }
            }
            if (events.lNetworkEvents & FD_CLOSE) {
                ++nCloses;
                // What is still queued at the close is read now, as the loop drains it.
                for (int n = 1; n > 0;) {
                    n = win::recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
                    got.append(buffer.data(), static_cast<std::size_t>(std::max(n, 0)));
                }
            }
        }
        writer.join();
        EXPECT_EQ(1, nCloses) << nSize;
        EXPECT_EQ(sent.size(), got.size());
        EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &ev, FALSE, 50, FALSE));
        closesocket(s);
        ::close(nPeer);
        WSACloseEvent(ev);
    }
}

TEST_F(WinsockTest, SetEventWakesWaitWithoutNetworkEvents) {
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &ev, FALSE, 20, FALSE));
    std::thread setter([ev] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WSASetEvent(ev);
    });
    EXPECT_EQ(0, WaitEvents(s, ev).lNetworkEvents);
    setter.join();
    // Enumerating reset the event.
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &ev, FALSE, 20, FALSE));
    closesocket(s);
    ::close(nPeer);
    WSACloseEvent(ev);
}

TEST_F(WinsockTest, LocalCloseWakesAWaiter) {
    int nPeer = -1;
    const SOCKET s = ConnectedPair(&nPeer);
    const WSAEVENT ev = WSACreateEvent();
    ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
    auto waited = std::async(std::launch::async, [ev] {
        return WSAWaitForMultipleEvents(1, &ev, FALSE, WSA_INFINITE, FALSE);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    closesocket(s);
    ASSERT_EQ(std::future_status::ready, waited.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(WSA_WAIT_EVENT_0, waited.get());
    ::close(nPeer);
    WSACloseEvent(ev);
}

// SO_LINGER 0: closing resets the connection (the peer sees an error, never an orderly
// end first) and still wakes a thread that waits on the socket.
TEST_F(WinsockTest, CloseWithZeroLingerResetsThePeerAndWakesAWaiter) {
    for (const bool bReset : {false, true}) {
        int nPeer = -1;
        const SOCKET s = ConnectedPair(&nPeer);
        if (bReset) {
            const linger lg{1, 0};
            ASSERT_EQ(0, win::setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)));
        }
        auto waited = std::async(std::launch::async, [s] {
            const timeval tv{10, 0};
            return win::select(s, win::SelectFor::Read, &tv);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(0, closesocket(s));
        ASSERT_EQ(std::future_status::ready, waited.wait_for(std::chrono::seconds(5)));
        char c;
        pollfd pfd{nPeer, POLLIN, 0};
        ASSERT_EQ(1, ::poll(&pfd, 1, 5000));
        const ssize_t n = ::recv(nPeer, &c, 1, 0);
        if (bReset) {
            EXPECT_EQ(-1, n);
            EXPECT_EQ(ECONNRESET, errno);
        } else {
            EXPECT_EQ(0, n);
        }
        ::close(nPeer);
    }
}

// Out of descriptors is told as such, not as a lack of memory.
TEST_F(WinsockTest, EventOrSocketWithoutDescriptorsTellsTooManyOpenSockets) {
    for (const int nErrno : {EMFILE, ENFILE}) {
        win::ArmFault({.call = win::FaultCall::CreateEvent, .nErrno = nErrno});
        EXPECT_EQ(WSA_INVALID_EVENT, WSACreateEvent());
        EXPECT_EQ(WSAEMFILE, WSAGetLastError());
        win::DisarmFaults();
    }
    for (const int nErrno : {EMFILE, ENFILE}) {
        win::ArmFault({.call = win::FaultCall::Socket, .nErrno = nErrno});
        EXPECT_EQ(INVALID_SOCKET, win::socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(WSAEMFILE, WSAGetLastError());
        win::DisarmFaults();
    }
    EXPECT_EQ(L"Too many open sockets.\r\n", win::GetSystemMessage(WSAEMFILE));
    EXPECT_EQ(L"Too many open files.\r\n", win::GetSystemMessage(ERROR_TOO_MANY_OPEN_FILES));
    win::ArmFault({.call = win::FaultCall::CreateEvent, .nErrno = ENOMEM});
    EXPECT_EQ(WSA_INVALID_EVENT, WSACreateEvent());
    EXPECT_EQ(WSA_NOT_ENOUGH_MEMORY, WSAGetLastError());
    win::DisarmFaults();
    const WSAEVENT ev = WSACreateEvent();  // disarmed: as before
    EXPECT_NE(WSA_INVALID_EVENT, ev);
    WSACloseEvent(ev);
}

TEST_F(WinsockTest, BindToAPortInUseFailsAndNotStartedLayerRefusesSockets) {
    std::uint16_t nPort = 0;
    const SOCKET s = ListenLoopback(&nPort);
    const SOCKET s2 = win::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = test::Loopback(nPort);
    EXPECT_EQ(SOCKET_ERROR, win::bind(s2, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    closesocket(s);
    closesocket(s2);

    // Stop the layer completely (other users in this process may hold starts too), check,
    // and start it again as often as it was started.
    int nStarts = 0;
    while (WSACleanup() == 0) {
        ++nStarts;
    }
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(INVALID_SOCKET, win::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    WSADATA data;
    for (int i = 0; i < nStarts; ++i) {
        WSAStartup(0x0002, &data);
    }
}

TEST_F(WinsockTest, AddressTexts) {
    EXPECT_EQ(htonl(0x7F000001), win::inet_addr("127.0.0.1"));
    EXPECT_EQ(INADDR_NONE, win::inet_addr("example.com"));
    EXPECT_EQ(INADDR_NONE, win::inet_addr(""));
    in_addr addr{};
    addr.s_addr = htonl(0x0A000102);
    EXPECT_STREQ("10.0.1.2", win::inet_ntoa(addr));
}

}  // namespace
