// relay-load: a loopback server and the load it is measured with, for comparing relays.
//
//   relay-load server PORT                 serve the commands below until killed
//   relay-load upload HOST PORT BYTES      send BYTES of a pattern; the server checks them
//   relay-load download HOST PORT BYTES    receive BYTES of the pattern and check them
//   relay-load rtt HOST PORT COUNT         COUNT round trips of 100 bytes on one connection
//   relay-load connect HOST PORT COUNT     COUNT connections one after another (1 byte each way)
//   relay-load concurrent HOST PORT N      N connections at once, 100 round trips each
//   relay-load hold HOST PORT N [SECONDS]  N connections at once, each checked with one round
//                                          trip, held open for SECONDS (default 3), closed
//
// Each client command prints one line "<figure> <unit>" and exits 1 when a check fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"

namespace {

using Clock = std::chrono::steady_clock;

char PatternByte(std::uint64_t i) {
    return static_cast<char>((i * 131 + (i >> 12)) & 0xFF);
}

int Connect(const char* pszHost, int nPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    ::inet_pton(AF_INET, pszHost, &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    const int nOne = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    return fd;
}

// Header of every connection: a command letter and a 64-bit count.
bool SendCommand(int fd, char cCommand, std::uint64_t n) {
    char header[9];
    header[0] = cCommand;
    std::memcpy(header + 1, &n, 8);
    return SendAll(fd, header, 9);
}

void Serve(int fd) {
    const int nOne = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    char header[9];
    if (!ReceiveAll(fd, header, 9)) {
        return;
    }
    std::uint64_t n = 0;
    std::memcpy(&n, header + 1, 8);
    std::vector<char> buffer(1 << 20);
    switch (header[0]) {
        case 'U': {  // check n pattern bytes, answer "OK" or "NO"
            bool bOk = true;
            for (std::uint64_t done = 0; done < n;) {
                const std::size_t chunk =
                    static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size()));
                const ssize_t r = ::recv(fd, buffer.data(), chunk, 0);
                if (r <= 0) {
                    return;
                }
                for (ssize_t i = 0; i < r; ++i) {
                    bOk = bOk && buffer[static_cast<std::size_t>(i)] ==
                                     PatternByte(done + static_cast<std::uint64_t>(i));
                }
                done += static_cast<std::uint64_t>(r);
            }
            SendAll(fd, bOk ? "OK" : "NO", 2);
            break;
        }
        case 'D':  // send n pattern bytes
            for (std::uint64_t done = 0; done < n;) {
                const std::size_t chunk =
                    static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size()));
                for (std::size_t i = 0; i < chunk; ++i) {
                    buffer[i] = PatternByte(done + i);
                }
                if (!SendAll(fd, buffer.data(), chunk)) {
                    return;
                }
                done += chunk;
            }
            break;
        case 'E':  // echo until the peer closes
            for (;;) {
                const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (r <= 0 || !SendAll(fd, buffer.data(), static_cast<std::size_t>(r))) {
                    return;
                }
            }
        default:
            break;
    }
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {  // let the client close first
    }
}

int RunServer(int nPort) {
    return ServeLoopback(nPort, "relay-load server", [](int fd) { Serve(fd); });
}

// One connection doing `nCount` round trips of 100 bytes; false when an answer differs.
bool RoundTrips(const char* pszHost, int nPort, int nCount) {
    const int fd = Connect(pszHost, nPort);
    if (fd < 0 || !SendCommand(fd, 'E', 0)) {
        return false;
    }
    char out[100];
    char in[100];
    bool bOk = true;
    for (int i = 0; i < nCount && bOk; ++i) {
        for (int k = 0; k < 100; ++k) {
            out[k] = PatternByte(static_cast<std::uint64_t>(i * 100 + k));
        }
        bOk = SendAll(fd, out, 100) && ReceiveAll(fd, in, 100) && std::memcmp(in, out, 100) == 0;
    }
    ::close(fd);
    return bOk;
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs(
            "usage: relay-load server PORT | upload|download|rtt|connect|concurrent|hold HOST PORT "
            "N\n",
            stderr);
        return 2;
    }
    const std::string strMode = argv[1];
    if (strMode == "server") {
        return RunServer(std::atoi(argv[2]));
    }
    if (argc < 5) {
        return 2;
    }
    const char* pszHost = argv[2];
    const int nPort = std::atoi(argv[3]);
    const std::uint64_t n = std::strtoull(argv[4], nullptr, 10);
    const auto start = Clock::now();
    if (strMode == "upload" || strMode == "download") {
        const int fd = Connect(pszHost, nPort);
        if (fd < 0 || !SendCommand(fd, strMode == "upload" ? 'U' : 'D', n)) {
            return 1;
        }
        std::vector<char> buffer(1 << 20);
        bool bOk = true;
        for (std::uint64_t done = 0; done < n;) {
            const std::size_t chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size()));
            if (strMode == "upload") {
                for (std::size_t i = 0; i < chunk; ++i) {
                    buffer[i] = PatternByte(done + i);
                }
                if (!SendAll(fd, buffer.data(), chunk)) {
                    return 1;
                }
                done += chunk;
            } else {
                const ssize_t r = ::recv(fd, buffer.data(), chunk, 0);
                if (r <= 0) {
                    return 1;
                }
                for (ssize_t i = 0; i < r; ++i) {
                    bOk = bOk && buffer[static_cast<std::size_t>(i)] ==
                                     PatternByte(done + static_cast<std::uint64_t>(i));
                }
                done += static_cast<std::uint64_t>(r);
            }
        }
        if (strMode == "upload") {
            char answer[2];
            bOk = ReceiveAll(fd, answer, 2) && std::memcmp(answer, "OK", 2) == 0;
        }
        ::close(fd);
        std::printf("%.1f MB/s\n", static_cast<double>(n) / 1e6 / Seconds(start));
        return bOk ? 0 : 1;
    }
    if (strMode == "rtt") {
        const bool bOk = RoundTrips(pszHost, nPort, static_cast<int>(n));
        std::printf("%.1f us\n", Seconds(start) * 1e6 / static_cast<double>(n));
        return bOk ? 0 : 1;
    }
    if (strMode == "connect") {
        for (std::uint64_t i = 0; i < n; ++i) {
            const int fd = Connect(pszHost, nPort);
            char c = 'x';
            if (fd < 0 || !SendCommand(fd, 'E', 0) || !SendAll(fd, &c, 1) ||
                !ReceiveAll(fd, &c, 1)) {
                return 1;
            }
            ::close(fd);
        }
        std::printf("%.0f connections/s\n", static_cast<double>(n) / Seconds(start));
        return 0;
    }
    if (strMode == "hold") {
        const int nSeconds = argc > 5 ? std::atoi(argv[5]) : 3;
        std::vector<int> fds;
        int nFailed = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const int fd = Connect(pszHost, nPort);
            if (fd < 0 || !SendCommand(fd, 'E', 0)) {
                ++nFailed;
                continue;
            }
            fds.push_back(fd);
        }
        char out[100];
        char in[100];
        for (std::size_t i = 0; i < fds.size(); ++i) {
            for (int k = 0; k < 100; ++k) {
                out[k] = PatternByte(i * 100 + static_cast<std::uint64_t>(k));
            }
            if (!SendAll(fds[i], out, 100) || !ReceiveAll(fds[i], in, 100) ||
                std::memcmp(in, out, 100) != 0) {
                ++nFailed;
            }
        }
        const int nHeld = static_cast<int>(fds.size()) -
                          (nFailed - (static_cast<int>(n) - static_cast<int>(fds.size())));
        std::printf("%d connections held, %d failed, %.3f s\n", nHeld, nFailed, Seconds(start));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
        for (const int fd : fds) {
            ::close(fd);
        }
        return nFailed == 0 ? 0 : 1;
    }
    if (strMode == "concurrent") {
        std::atomic<int> nFailed{0};
        std::vector<std::thread> threads;
        for (std::uint64_t i = 0; i < n; ++i) {
            threads.emplace_back([&] { nFailed += RoundTrips(pszHost, nPort, 100) ? 0 : 1; });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        std::printf("%.3f s\n", Seconds(start));
        return nFailed == 0 ? 0 : 1;
    }
    return 2;
}
