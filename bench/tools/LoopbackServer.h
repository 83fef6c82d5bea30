// The servers of the load tools: listen on a loopback port and serve every connection on a
// thread of its own, for as long as the tool runs; and the loops that send or receive a
// whole buffer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <thread>

// Serves connections on 127.0.0.1:nPort with fnServe(fd) (the descriptor is closed after
// it); returns 1 when the port cannot be had (`pszName` says who in the message), else never.
template <class F>
int ServeLoopback(int nPort, const char* pszName, F fnServe) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int nOne = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        std::perror(pszName);
        return 1;
    }
    for (;;) {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0) {
            std::thread([fnServe, c] {
                fnServe(c);
                ::close(c);
            }).detach();
        }
    }
}

// Sends all `n` bytes; false when the connection fails first.
inline bool SendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Receives exactly `n` bytes; false when the stream ends or fails first.
inline bool ReceiveAll(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}
