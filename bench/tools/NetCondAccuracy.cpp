// Measures what the relay's network conditions do to a real loopback transfer, for
// bench/netcond_accuracy.sh. The tool is both ends: it serves on one port and connects to
// the relay's port, which forwards to it.
//
//   netcond-accuracy bandwidth SERVER_PORT RELAY_PORT SECONDS
//       the server sends without pause; prints the client's rate in KB/s (1000 bytes)
//       over the SECONDS after the first byte.
//   netcond-accuracy latency SERVER_PORT RELAY_PORT COUNT
//       COUNT round trips of 100 bytes; prints the median, minimum and maximum in ms.
//   netcond-accuracy slice SERVER_PORT RELAY_PORT BYTES
//       the server sends BYTES bytes at once; prints the sizes the client read, counted.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int Listen(int nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int nOn = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    sockaddr_in addr = Loopback(nPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 8) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    return fd;
}

int Connect(int nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(nPort);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    const int nOn = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s bandwidth|latency|slice SERVER_PORT RELAY_PORT N\n",
                     argv[0]);
        return 2;
    }
    const std::string strMode = argv[1];
    const int nServerPort = std::atoi(argv[2]);
    const int nRelayPort = std::atoi(argv[3]);
    const long nArg = std::atol(argv[4]);
    const int fdListen = Listen(nServerPort);
    std::atomic<bool> bDone{false};

    std::thread server([&] {
        const int fd = ::accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        const int nOn = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
        std::vector<char> buffer(65536, 'd');
        if (strMode == "bandwidth") {
            while (!bDone && SendAll(fd, buffer.data(), buffer.size())) {
            }
        } else if (strMode == "latency") {
            char ping[100];
            while (ReceiveAll(fd, ping, sizeof(ping)) && SendAll(fd, ping, sizeof(ping))) {
            }
        } else {
            std::string data(static_cast<std::size_t>(nArg), 's');
            SendAll(fd, data.data(), data.size());
            char c;
            while (::recv(fd, &c, 1, 0) > 0) {
            }
        }
        ::close(fd);
    });

    const int fd = Connect(nRelayPort);
    if (strMode == "bandwidth") {
        std::vector<char> buffer(1 << 20);
        ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);  // the clock starts here
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(nArg);
        long long nBytes = 0;
        while (r > 0 && Clock::now() < end) {
            pollfd pfd{fd, POLLIN, 0};
            const int nWait = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (::poll(&pfd, 1, std::max(nWait, 0)) <= 0) {
                break;
            }
            r = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (r > 0) {
                nBytes += r;
            }
        }
        const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%.1f KB/s over %.2f s (%lld bytes)\n", nBytes / dSeconds / 1000.0, dSeconds,
                    nBytes);
    } else if (strMode == "latency") {
        std::vector<double> ms;
        char ping[100] = {};
        for (long i = 0; i < nArg; ++i) {
            const auto start = Clock::now();
            if (!SendAll(fd, ping, sizeof(ping)) || !ReceiveAll(fd, ping, sizeof(ping))) {
                std::fprintf(stderr, "the round trip failed\n");
                return 1;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf("median %.3f ms, min %.3f ms, max %.3f ms (%zu round trips)\n",
                    ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
    } else {
        std::map<ssize_t, int> sizes;
        long nGot = 0;
        std::vector<char> buffer(1 << 20);
        while (nGot < nArg) {
            const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (r <= 0) {
                break;
            }
            ++sizes[r];
            nGot += r;
        }
        std::printf("%ld bytes in reads of:", nGot);
        for (const auto& [nSize, nCount] : sizes) {
            std::printf(" %zd x%d", nSize, nCount);
        }
        std::printf("\n");
    }
    bDone = true;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    server.join();
    ::close(fdListen);
    return 0;
}
