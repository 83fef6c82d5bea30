// tls-load: the TLS counterpart of relay-load, for comparing TLS relays on loopback.
//
//   tls-load server PORT PEM              serve the commands below over TLS until killed (PEM:
//                                         the certificate followed by its key)
//   tls-load upload HOST PORT BYTES       send BYTES of a pattern; the server checks them
//   tls-load download HOST PORT BYTES     receive BYTES of the pattern and check them
//   tls-load rtt HOST PORT COUNT          COUNT round trips of 100 bytes on one connection
//   tls-load handshakes HOST PORT COUNT   COUNT connections one after another, each a full
//                                         handshake and one round trip
//   tls-load hold HOST PORT N SECONDS     N connections at once, each checked with one round
//                                         trip, held open for SECONDS, then closed
//
// The client verifies nothing (every relay shows a certificate of its own) and names
// "localhost" in its SNI. Each client command prints one line "<figure> <unit>" and exits 1
// when a check fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool WriteAll(SSL* pSsl, const char* p, std::size_t n) {
    while (n > 0) {
        const int r = SSL_write(pSsl, p, static_cast<int>(std::min<std::size_t>(n, 1 << 20)));
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool ReadAll(SSL* pSsl, char* p, std::size_t n) {
    while (n > 0) {
        const int r = SSL_read(pSsl, p, static_cast<int>(std::min<std::size_t>(n, 1 << 20)));
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

void NoDelay(int fd) {
    const int nOne = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
}

// A client connection with its handshake done; null on failure.
struct CConnection {
    int fd = -1;
    SSL* pSsl = nullptr;
    ~CConnection() {
        if (pSsl != nullptr) {
            SSL_shutdown(pSsl);
            SSL_free(pSsl);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

SSL_CTX* ClientContext() {
    static SSL_CTX* s_pCtx = [] {
        SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(pCtx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(pCtx, SSL_SESS_CACHE_OFF);
        return pCtx;
    }();
    return s_pCtx;
}

bool Open(CConnection& c, const char* pszHost, int nPort) {
    c.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    ::inet_pton(AF_INET, pszHost, &addr.sin_addr);
    if (::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        return false;
    }
    NoDelay(c.fd);
    c.pSsl = SSL_new(ClientContext());
    SSL_set_tlsext_host_name(c.pSsl, "localhost");
    SSL_set_fd(c.pSsl, c.fd);
    return SSL_connect(c.pSsl) == 1;
}

bool SendCommand(SSL* pSsl, char cCommand, std::uint64_t n) {
    char header[9];
    header[0] = cCommand;
    std::memcpy(header + 1, &n, 8);
    return WriteAll(pSsl, header, 9);
}

void Serve(SSL_CTX* pCtx, int fd) {
    NoDelay(fd);
    SSL* pSsl = SSL_new(pCtx);
    SSL_set_fd(pSsl, fd);
    char header[9];
    if (SSL_accept(pSsl) != 1 || !ReadAll(pSsl, header, 9)) {
        SSL_free(pSsl);
        return;
    }
    std::uint64_t n = 0;
    std::memcpy(&n, header + 1, 8);
    std::vector<char> buffer(1 << 16);
    if (header[0] == 'U') {  // check n pattern bytes, answer "OK" or "NO"
        bool bOk = true;
        for (std::uint64_t done = 0; done < n && bOk;) {
            const int r =
                SSL_read(pSsl, buffer.data(),
                         static_cast<int>(std::min<std::uint64_t>(n - done, buffer.size())));
            if (r <= 0) {
                bOk = false;
                break;
            }
            for (int i = 0; i < r; ++i) {
                bOk = bOk && buffer[static_cast<std::size_t>(i)] ==
                                 PatternByte(done + static_cast<std::uint64_t>(i));
            }
            done += static_cast<std::uint64_t>(r);
        }
        WriteAll(pSsl, bOk ? "OK" : "NO", 2);
    } else if (header[0] == 'D') {  // send n pattern bytes
        for (std::uint64_t done = 0; done < n;) {
            const std::size_t chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size()));
            for (std::size_t i = 0; i < chunk; ++i) {
                buffer[i] = PatternByte(done + i);
            }
            if (!WriteAll(pSsl, buffer.data(), chunk)) {
                break;
            }
            done += chunk;
        }
    } else if (header[0] == 'E') {  // echo until the peer closes
        for (;;) {
            const int r = SSL_read(pSsl, buffer.data(), static_cast<int>(buffer.size()));
            if (r <= 0 || !WriteAll(pSsl, buffer.data(), static_cast<std::size_t>(r))) {
                break;
            }
        }
    }
    char c;
    while (SSL_read(pSsl, &c, 1) > 0) {  // let the client close first
    }
    SSL_free(pSsl);
}

int RunServer(int nPort, const char* pszPem) {
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(pCtx, pszPem) != 1 ||
        SSL_CTX_use_PrivateKey_file(pCtx, pszPem, SSL_FILETYPE_PEM) != 1) {
        std::fputs("tls-load server: cannot read the certificate and key\n", stderr);
        return 1;
    }
    return ServeLoopback(nPort, "tls-load server", [pCtx](int fd) { Serve(pCtx, fd); });
}

bool RoundTrip(SSL* pSsl, int i) {
    char out[100];
    char in[100];
    for (int k = 0; k < 100; ++k) {
        out[k] = PatternByte(static_cast<std::uint64_t>(i * 100 + k));
    }
    return WriteAll(pSsl, out, 100) && ReadAll(pSsl, in, 100) && std::memcmp(in, out, 100) == 0;
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc < 4) {
        std::fputs(
            "usage: tls-load server PORT PEM | upload|download|rtt|handshakes|hold HOST PORT N "
            "[SECONDS]\n",
            stderr);
        return 2;
    }
    const std::string strMode = argv[1];
    if (strMode == "server") {
        return RunServer(std::atoi(argv[2]), argv[3]);
    }
    if (argc < 5) {
        return 2;
    }
    const char* pszHost = argv[2];
    const int nPort = std::atoi(argv[3]);
    const std::uint64_t n = std::strtoull(argv[4], nullptr, 10);
    const Clock::time_point start = Clock::now();
    if (strMode == "upload" || strMode == "download") {
        CConnection c;
        if (!Open(c, pszHost, nPort) || !SendCommand(c.pSsl, strMode[0] == 'u' ? 'U' : 'D', n)) {
            return 1;
        }
        std::vector<char> buffer(1 << 16);
        bool bOk = true;
        for (std::uint64_t done = 0; done < n && bOk;) {
            const std::size_t chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buffer.size()));
            if (strMode == "upload") {
                for (std::size_t i = 0; i < chunk; ++i) {
                    buffer[i] = PatternByte(done + i);
                }
                bOk = WriteAll(c.pSsl, buffer.data(), chunk);
            } else {
                bOk = ReadAll(c.pSsl, buffer.data(), chunk);
                for (std::size_t i = 0; i < chunk && bOk; ++i) {
                    bOk = buffer[i] == PatternByte(done + i);
                }
            }
            done += chunk;
        }
        char answer[2] = {'O', 'K'};
        if (strMode == "upload") {
            bOk = bOk && ReadAll(c.pSsl, answer, 2);
        }
        if (!bOk || std::memcmp(answer, "OK", 2) != 0) {
            std::fputs("tls-load: the bytes differ\n", stderr);
            return 1;
        }
        std::printf("%.0f MB/s\n", static_cast<double>(n) / 1e6 / Seconds(start));
        return 0;
    }
    if (strMode == "rtt") {
        CConnection c;
        if (!Open(c, pszHost, nPort) || !SendCommand(c.pSsl, 'E', 0)) {
            return 1;
        }
        const Clock::time_point loop = Clock::now();
        for (std::uint64_t i = 0; i < n; ++i) {
            if (!RoundTrip(c.pSsl, static_cast<int>(i))) {
                return 1;
            }
        }
        std::printf("%.1f us\n", Seconds(loop) * 1e6 / static_cast<double>(n));
        return 0;
    }
    if (strMode == "handshakes") {
        for (std::uint64_t i = 0; i < n; ++i) {
            CConnection c;
            if (!Open(c, pszHost, nPort) || !SendCommand(c.pSsl, 'E', 0) || !RoundTrip(c.pSsl, 1)) {
                return 1;
            }
        }
        std::printf("%.0f /s\n", static_cast<double>(n) / Seconds(start));
        return 0;
    }
    if (strMode == "hold") {
        const int nSeconds = argc > 5 ? std::atoi(argv[5]) : 3;
        std::vector<CConnection> connections(n);
        for (CConnection& c : connections) {
            if (!Open(c, pszHost, nPort) || !SendCommand(c.pSsl, 'E', 0) || !RoundTrip(c.pSsl, 2)) {
                return 1;
            }
        }
        std::printf("%llu held\n", static_cast<unsigned long long>(n));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
        return 0;
    }
    return 2;
}
