// Helpers of the tests of both address families: plain POSIX listeners and clients on any
// numeric loopback address, a check whether IPv6 works on loopback here, and a listener
// whose queue is full, so that a connection to it stays pending.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test {

inline socklen_t MakeAddress(const char* pszAddr, std::uint16_t nPort, sockaddr_storage* pAddr) {
    std::memset(pAddr, 0, sizeof(*pAddr));
    auto* pIn = reinterpret_cast<sockaddr_in*>(pAddr);
    auto* pIn6 = reinterpret_cast<sockaddr_in6*>(pAddr);
    if (::inet_pton(AF_INET, pszAddr, &pIn->sin_addr) == 1) {
        pIn->sin_family = AF_INET;
        pIn->sin_port = htons(nPort);
        return sizeof(sockaddr_in);
    }
    ::inet_pton(AF_INET6, pszAddr, &pIn6->sin6_addr);
    pIn6->sin6_family = AF_INET6;
    pIn6->sin6_port = htons(nPort);
    return sizeof(sockaddr_in6);
}

// A plain listening socket on `pszAddr` (numeric), port `nPort` (0: a free one). An IPv6
// socket takes IPv6 only. Fd() is -1 when it could not be made.
class CFamilyListener {
public:
    CFamilyListener(const char* pszAddr, std::uint16_t nPort, int nBacklog = 16) {
        sockaddr_storage addr{};
        const socklen_t len = MakeAddress(pszAddr, nPort, &addr);
        m_fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            return;
        }
        const int nOn = 1;
        if (addr.ss_family == AF_INET6) {
            ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOn, sizeof(nOn));
        }
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(m_fd, nBacklog) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        socklen_t got = sizeof(addr);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &got);
        m_nPort =
            ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    }
    ~CFamilyListener() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CFamilyListener(const CFamilyListener&) = delete;
    CFamilyListener& operator=(const CFamilyListener&) = delete;

    // Waits up to `nMs` for a connection; -1 when none came.
    int Accept(int nMs = 5000) const {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, nMs) <= 0) {
            return -1;
        }
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int Fd() const { return m_fd; }
    std::uint16_t Port() const { return m_nPort; }

private:
    int m_fd = -1;
    std::uint16_t m_nPort = 0;
};

// A plain client connection to a numeric address; -1 on failure (errno tells why).
inline int ConnectTo(const char* pszAddr, std::uint16_t nPort) {
    sockaddr_storage addr{};
    const socklen_t len = MakeAddress(pszAddr, nPort, &addr);
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        const int nErrno = errno;
        ::close(fd);
        errno = nErrno;
        return -1;
    }
    return fd;
}

// Whether a connection over ::1 works on this machine.
inline bool Ipv6LoopbackWorks() {
    static const bool s_bWorks = [] {
        CFamilyListener listener("::1", 0);
        if (listener.Fd() < 0) {
            return false;
        }
        const int fd = ConnectTo("::1", listener.Port());
        if (fd < 0) {
            return false;
        }
        const int accepted = listener.Accept(2000);
        ::close(fd);
        if (accepted < 0) {
            return false;
        }
        ::close(accepted);
        return true;
    }();
    return s_bWorks;
}

// A listener on a loopback address whose accept queue is full and never drained: a further
// connection to it is neither accepted nor refused, it stays pending (the system drops its
// SYN). IsSilent() is false when the system accepted every filler anyway.
class CSilentListener {
public:
    explicit CSilentListener(const char* pszAddr, std::uint16_t nPort = 0)
        : m_listener(pszAddr, nPort, 0) {
        if (m_listener.Fd() < 0) {
            return;
        }
        for (int i = 0; i < 8 && !m_bSilent; ++i) {
            sockaddr_storage addr{};
            const socklen_t len = MakeAddress(pszAddr, m_listener.Port(), &addr);
            const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
            m_fillers.push_back(fd);
            pollfd pfd{fd, POLLOUT, 0};
            m_bSilent = ::poll(&pfd, 1, 300) == 0;  // this one stays pending: the queue is full
        }
    }
    ~CSilentListener() {
        for (int fd : m_fillers) {
            ::close(fd);
        }
    }
    CSilentListener(const CSilentListener&) = delete;
    CSilentListener& operator=(const CSilentListener&) = delete;

    bool IsSilent() const { return m_bSilent; }
    // The listener's port, closed: a connection still pending to it is refused at the next
    // try of the system. Any thread; once.
    void CloseListener() { ::shutdown(m_listener.Fd(), SHUT_RDWR); }
    std::uint16_t Port() const { return m_listener.Port(); }

private:
    CFamilyListener m_listener;
    std::vector<int> m_fillers;
    bool m_bSilent = false;
};

}  // namespace test

#define TAPVANE_REQUIRE_IPV6_LOOPBACK()                                                       \
    do {                                                                                      \
        if (!test::Ipv6LoopbackWorks()) {                                                     \
            GTEST_SKIP() << "IPv6 does not work on loopback (::1) on this machine; the IPv6 " \
                            "cases are skipped";                                              \
        }                                                                                     \
    } while (false)
