// Helpers of the socket tests: loopback peers made with plain POSIX calls, so that the
// layer under test is only on one side of each connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace test {

inline sockaddr_in Loopback(std::uint16_t nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A plain listening socket on a free loopback port.
class CPosixListener {
public:
    CPosixListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(0);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(m_fd, 16);
        socklen_t len = sizeof(addr);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_nPort = ntohs(addr.sin_port);
    }
    ~CPosixListener() { ::close(m_fd); }
    CPosixListener(const CPosixListener&) = delete;
    CPosixListener& operator=(const CPosixListener&) = delete;

    // Waits up to 5 s for a connection; -1 when none came.
    int Accept() const {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 5000) <= 0) {
            return -1;
        }
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::uint16_t Port() const { return m_nPort; }
    int Fd() const { return m_fd; }

private:
    int m_fd;
    std::uint16_t m_nPort;
};

// A plain client connection to a loopback port; -1 on failure.
inline int ConnectPosix(std::uint16_t nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(nPort);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Closes `fd` with a reset instead of an orderly close.
inline void CloseWithReset(int fd) {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    ::close(fd);
}

inline bool SendAllPosix(int fd, const std::string& data) {
    std::size_t nDone = 0;
    while (nDone < data.size()) {
        const ssize_t n = ::send(fd, data.data() + nDone, data.size() - nDone, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        nDone += static_cast<std::size_t>(n);
    }
    return true;
}

// Calls `fn(chunk)` with each piece `fd` receives (a std::string_view) until `fn` returns
// false, the peer closes or resets, or `nIdleMs` pass without data.
template <typename F>
void ForEachReceived(int fd, F fn, int nIdleMs = 10000) {
    char buffer[65536];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, nIdleMs) <= 0) {
            return;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0 || !fn(std::string_view(buffer, static_cast<std::size_t>(n)))) {
            return;
        }
    }
}

// Echoes what `fd` receives until the peer closes or resets, or `nIdleMs` pass without data.
inline void EchoPosix(int fd, int nIdleMs = 30000) {
    ForEachReceived(
        fd, [fd](std::string_view chunk) { return SendAllPosix(fd, std::string(chunk)); }, nIdleMs);
}

// Reads exactly `n` bytes (or until the peer closes or 10 s pass without data).
inline std::string ReceiveExactlyPosix(int fd, std::size_t n) {
    std::string data;
    char buffer[65536];
    while (data.size() < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0) {
            break;
        }
        const ssize_t r = ::recv(fd, buffer, std::min(sizeof(buffer), n - data.size()), 0);
        if (r <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(r));
    }
    return data;
}

// Reads until the peer closes or `nIdleMs` pass without data.
inline std::string ReceiveAllPosix(int fd, int nIdleMs = 5000) {
    std::string data;
    ForEachReceived(
        fd,
        [&data](std::string_view chunk) {
            data.append(chunk);
            return true;
        },
        nIdleMs);
    return data;
}

// Polls `condition` every millisecond for up to `timeout`.
template <class F>
bool WaitUntil(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A pattern whose bytes depend on their offset, so that lost or reordered bytes show.
inline std::string Pattern(std::size_t nSize) {
    std::string s(nSize, '\0');
    for (std::size_t i = 0; i < nSize; ++i) {
        s[i] = static_cast<char>((i * 131 + (i >> 12)) & 0xFF);
    }
    return s;
}

}  // namespace test
