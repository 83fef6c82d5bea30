#include "capture/SessionTls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "capture/CachedSetting.h"
#include "capture/RelayRecords.h"
#include "capture/SessionLink.h"
#include "module/MyModule.h"
#include "platform/SocketFilter.h"
#include "platform/TextConv.h"
#include "support/Trace.h"
#include "tls/ClientHello.h"
#include "tls/SocketBio.h"
#include "tls/TlsSocketFilter.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSliceMs = 50;
// A client of a TLS server that has said nothing by then is taken for a plain one that waits
// for the server (TLS clients speak first).
constexpr auto kFirstBytesWait = std::chrono::seconds(1);
// The longest a ClientHello may take to arrive, and a handshake to finish.
constexpr auto kHandshakeLimit = std::chrono::seconds(30);

// A bold line "Session <n>: <text>" in the log (and the trace), without the status line.
void LogTlsLine(const CSessionLink& link, const std::string& strText) {
    const std::wstring strLine =
        L"Session " + std::to_wstring(link.GetSession()) + L": " + win::AnsiToWide(strText);
    Trace(L"%s", strLine);
    CModuleLock lock;
    g_Module.AppendLog(L"\r\n" + strLine, LOG_STYLE_BOLD);
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
}

// What TLS did in the session, for the session list: kept by id and handed to the log.
void NoteTlsSummary(const CSessionLink& link, const std::string& strSummary) {
    SetSessionTlsSummary(link.GetSessionId(), strSummary);
    CLogRecord record;
    record.kind = LogRecordKind::SessionTls;
    record.bytes = strSummary;
    LogSessionRecord(link, record);
}

// A failure: the log line and the status line, then the session ends.
[[noreturn]] void EndSession(CSessionLink& link, const std::string& strReason,
                             const std::string& strSummary, bool bReset) {
    NoteTlsSummary(link, "failed: " + strSummary);
    LogSessionError(link.GetSession(), win::AnsiToWide(strReason));
    throw CTlsSessionEnd{bReset};
}

// A stop while waiting: the session ends as a stopped plain one does, in order.
[[noreturn]] void EndStopped() {
    throw CTlsSessionEnd{false};
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string strText;
    for (const std::string& strName : names) {
        strText += (strText.empty() ? "" : ", ") + strName;
    }
    return strText;
}

// Waits up to one slice for `events` on `fd`; false when the session is to stop or the time
// is up (`deadline`).
bool WaitSlice(int fd, short events, const std::function<bool()>& isStopped,
               Clock::time_point deadline) {
    if (isStopped()) {
        EndStopped();
    }
    if (Clock::now() > deadline) {
        return false;
    }
    pollfd entry{fd, events, 0};
    poll(&entry, 1, kSliceMs);
    return true;
}

// Makes a descriptor non-blocking for the handshakes, so that a peer that stalls halfway
// cannot keep a stop from being seen, and gives it its own mode back before the session
// uses it (or its replacement, which takes that mode).
class CNonBlocking {
public:
    explicit CNonBlocking(int fd) : m_fd(fd), m_nFlags(fcntl(fd, F_GETFL)) {
        if (m_nFlags >= 0) {
            fcntl(m_fd, F_SETFL, m_nFlags | O_NONBLOCK);
        }
    }
    ~CNonBlocking() { Restore(); }
    CNonBlocking(const CNonBlocking&) = delete;
    CNonBlocking& operator=(const CNonBlocking&) = delete;
    void Restore() {
        if (m_nFlags >= 0) {
            fcntl(m_fd, F_SETFL, m_nFlags);
            m_nFlags = -1;
        }
    }

private:
    const int m_fd;
    int m_nFlags;
};

enum class HandshakeResult { Done, Failed, TimedOut };

// Drives a non-blocking handshake on `pSsl` (whose descriptor is `fd`).
HandshakeResult DriveHandshake(SSL* pSsl, int fd, const std::function<bool()>& isStopped) {
    const Clock::time_point deadline = Clock::now() + kHandshakeLimit;
    while (true) {
        const int nResult = SSL_do_handshake(pSsl);
        if (nResult == 1) {
            return HandshakeResult::Done;
        }
        const int nError = SSL_get_error(pSsl, nResult);
        if (nError != SSL_ERROR_WANT_READ && nError != SSL_ERROR_WANT_WRITE) {
            return HandshakeResult::Failed;
        }
        if (!WaitSlice(fd, nError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, isStopped, deadline)) {
            return HandshakeResult::TimedOut;
        }
    }
}

struct CClientStart {
    bool bTls = false;
    CClientHelloInfo hello;
};

// Watches the client's first bytes (peeked) and, when `fdServer` is not -1, the server's:
// whichever comes first tells whether the client speaks TLS.
CClientStart DetectClientTls(int fdClient, int fdServer, bool bServerTls,
                             const std::function<bool()>& isStopped) {
    // Left uninitialised: only what a peek fills is read. The first bytes of nearly every
    // client fit on the stack; a longer ClientHello is peeked again into a heap buffer of
    // the largest size. (A heap buffer of that size for every session was handed back to
    // the system as each session ended, and taking pages from a process of many threads
    // interrupts every core.)
    constexpr std::size_t kSmallPeek = 16384;
    constexpr std::size_t kLargePeek = kMaxClientHello + 4096;
    char small[kSmallPeek];
    std::unique_ptr<char[]> large;
    char* pBuffer = small;
    std::size_t nBuffer = kSmallPeek;
    const Clock::time_point start = Clock::now();
    std::size_t nSeen = 0;
    while (true) {
        if (isStopped()) {
            EndStopped();
        }
        pollfd fds[2] = {{fdClient, POLLIN, 0}, {fdServer, POLLIN, 0}};
        poll(fds, fdServer >= 0 ? 2 : 1, kSliceMs);
        if (fds[0].revents != 0) {
            const ssize_t n = recv(fdClient, pBuffer, nBuffer, MSG_PEEK);
            if (n <= 0) {
                return {};  // closed or failed: the relay sees to it
            }
            CClientStart result;
            const HelloScan scan = ScanClientHello(
                std::string_view(pBuffer, static_cast<std::size_t>(n)), &result.hello);
            if (scan != HelloScan::NeedMore) {
                result.bTls = scan == HelloScan::ClientHello;
                return result;
            }
            if (static_cast<std::size_t>(n) == nBuffer && !large) {
                large.reset(new char[kLargePeek]);
                pBuffer = large.get();
                nBuffer = kLargePeek;
                continue;  // more waits to be peeked at once
            }
            if (static_cast<std::size_t>(n) == nSeen) {
                // Readable, but nothing new since the last look: wait for the rest.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            nSeen = static_cast<std::size_t>(n);
            if (Clock::now() - start > kHandshakeLimit) {
                return {};
            }
        } else if (fdServer >= 0 && fds[1].revents != 0) {
            return {};  // the server speaks first: a plain protocol
        }
        if (bServerTls && nSeen == 0 && Clock::now() - start > kFirstBytesWait) {
            return {};
        }
    }
}

// The name of the certificate shown to the client: the name it asked for, else the URL's
// host, else (an address there) the address the client connected to.
std::string LeafHost(const CClientStart& client, const std::string& strUrlHost, int fdClient) {
    if (!client.hello.strServerName.empty()) {
        return client.hello.strServerName;
    }
    if (!tls::IsIpLiteral(strUrlHost)) {
        return strUrlHost;
    }
    sockaddr_storage addr{};
    socklen_t nLength = sizeof(addr);
    char szText[INET6_ADDRSTRLEN] = {};
    if (getsockname(fdClient, reinterpret_cast<sockaddr*>(&addr), &nLength) == 0) {
        if (addr.ss_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, szText,
                      sizeof(szText));
        } else {
            const in6_addr& a6 = reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(&a6)) {
                inet_ntop(AF_INET, &a6.s6_addr[12], szText, sizeof(szText));
            } else {
                inet_ntop(AF_INET6, &a6, szText, sizeof(szText));
            }
        }
    }
    return szText[0] != '\0' ? std::string(szText) : strUrlHost;
}

// A fatal alert to a TLS client whose ClientHello will not be answered: its hello is read
// first, so that closing does not reset the connection before the alert arrives.
void SendHandshakeFailure(int fdClient) {
    char buffer[4096];
    while (recv(fdClient, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
    static constexpr char kAlert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 40};
    send(fdClient, kAlert, sizeof(kAlert), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fdClient, SHUT_WR);
}

std::string ServerLine(const tls::CHandshakeSummary& s, const tls::CVerifyNote& note,
                       const std::string& strHost) {
    std::string strLine = "TLS to the server: " + s.strVersion + ", " + s.strCipher + ", " +
                          (s.strSni.empty() ? "no SNI" : "SNI " + s.strSni) + ", " +
                          (s.strAlpn.empty() ? "no ALPN" : "ALPN " + s.strAlpn) + ", certificate " +
                          s.strSubject + " issued by " + s.strIssuer + ", expires " + s.strExpiry +
                          ", ";
    if (s.bVerified) {
        return strLine + (s.bResumed ? "verified (session resumed)" : "verified");
    }
    return strLine + "NOT verified: " + tls::ServerCertProblem(note, strHost);
}

std::string ClientLine(const tls::CHandshakeSummary& s, const CClientHelloInfo& hello) {
    std::string strLine = "TLS from the client: " + s.strVersion + ", " + s.strCipher + ", " +
                          (s.strSni.empty() ? "no SNI" : "SNI " + s.strSni) + ", " +
                          (s.strAlpn.empty() ? "no ALPN" : "ALPN " + s.strAlpn);
    if (hello.bHasAlpn && tls::ReadableAlpn(hello.alpn) != hello.alpn) {
        strLine += " (offered: " + JoinNames(hello.alpn) +
                   "; HTTP/2 and HTTP/3 are not offered to the server, so that the log stays "
                   "readable)";
    }
    return strLine;
}

// Reads and writes the handshake's TLS on `fd`, and later the session's records; the session
// ends when that cannot be set up.
void UseDescriptor(SSL* pSsl, int fd) {
    // Every record is a send of its own: without this the last small one of a flight or a
    // block would wait for the peer's delayed acknowledgement of the one before.
    const int nOn = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
    if (!tls::SetSocketBio(pSsl, fd)) {
        throw tls::CTlsError("No TLS connection: " + tls::TakeOpenSslError());
    }
}

// From here on the handle's recv and send carry clear bytes through `ssl`, on the relay
// threads that call them.
void AttachTls(win::SOCKET hSocket, tls::SslPtr ssl,
               const std::shared_ptr<tls::CTlsEngine>& engine) {
    // The notes of the handshake live on this thread's stack: the callbacks that later
    // records (an alert, say) raise must not find them.
    SSL_set_app_data(ssl.get(), nullptr);
    if (win::AttachSocketFilter(hSocket, std::make_unique<tls::CTlsSocketFilter>(
                                             std::move(ssl), engine)) == win::SOCKET_ERROR) {
        throw CTlsSessionEnd{true};  // the handle has gone: the session is ending anyway
    }
}

std::string WideToUtf8(const std::wstring& strText) {
    return win::WideToAnsi(strText);
}

}  // namespace

namespace {

void SetUpSides(CSessionLink& link, win::SOCKET hLocal, win::SOCKET hServer,
                const std::wstring& strUrl, const std::function<bool()>& isStopped) {
    const tls::CTlsConfig config = CurrentTlsConfig();
    const std::string strUrlText = WideToUtf8(strUrl);
    const bool bServerTls = tls::ServerUsesTls(config.serverTls, strUrlText);
    const bool bClientAuto = config.clientTls == tls::ClientTlsMode::Auto;
    if (!bServerTls && !bClientAuto) {
        return;
    }
    const int fdClient = win::SocketDescriptor(hLocal);
    const int fdServer = win::SocketDescriptor(hServer);
    if (fdClient < 0 || fdServer < 0) {
        return;  // a side has gone already: the relay sees to it
    }
    const std::string strUrlHost = tls::UrlHost(strUrlText);
    CClientStart client;
    // Toward a TLS server the client's first bytes are looked at also when decryption from
    // clients is off: a client that speaks TLS itself is passed through, not wrapped in a
    // second TLS layer that the server would not understand.
    if (bClientAuto || bServerTls) {
        client = DetectClientTls(fdClient, bServerTls ? -1 : fdServer, bServerTls, isStopped);
    }
    if (client.bTls) {
        const std::string strAsked =
            client.hello.strServerName.empty() ? strUrlHost : client.hello.strServerName;
        if (!bClientAuto) {
            NoteTlsSummary(link, "passthrough");
            LogTlsLine(link, "TLS from the client for " + strAsked +
                                 " is passed through, not decrypted (decryption from clients "
                                 "is off)");
            return;
        }
        if (tls::IsPassthroughHost(config.passthrough, strAsked)) {
            NoteTlsSummary(link, "passthrough");
            LogTlsLine(link, "TLS for " + strAsked + " is passed through, not decrypted");
            return;
        }
    }
    if (!bServerTls && !client.bTls) {
        return;
    }

    std::shared_ptr<tls::CTlsEngine> engine;
    try {
        engine = CurrentTlsEngine();
    } catch (const tls::CTlsError& e) {
        if (client.bTls) {
            SendHandshakeFailure(fdClient);
        }
        EndSession(link, e.what(), "TLS unavailable", !client.bTls);
    }

    CNonBlocking clientMode(fdClient);
    CNonBlocking serverMode(fdServer);
    tls::SslPtr serverSsl;
    tls::CVerifyNote note;
    std::string strServerAlpn;
    if (bServerTls) {
        // The readable protocols of the client's offer; for a plain client, HTTP/1.1 in HTTP
        // mode.
        std::vector<std::string> alpn;
        if (client.bTls) {
            alpn = tls::ReadableAlpn(client.hello.alpn);
        } else if (CachedReplaceHostHeader() || CachedSaveResponse()) {
            alpn = {"http/1.1"};
        }
        const std::string strSni = tls::IsIpLiteral(strUrlHost) ? std::string() : strUrlHost;
        serverSsl = engine->NewServerSide(strSni, strUrlHost, alpn, &note);
        UseDescriptor(serverSsl.get(), fdServer);
        const HandshakeResult result = DriveHandshake(serverSsl.get(), fdServer, isStopped);
        if (result != HandshakeResult::Done) {
            std::string strReason = tls::ServerCertProblem(note, strUrlHost);
            std::string strSummary = strReason.empty() ? "server handshake" : "server certificate";
            if (strReason.empty()) {
                const std::string strDetail = tls::TakeOpenSslError();
                strReason = result == HandshakeResult::TimedOut
                                ? "The TLS handshake with the server took too long"
                                : "The TLS handshake with the server failed" +
                                      (strDetail.empty() ? std::string() : ": " + strDetail);
            }
            ERR_clear_error();
            if (client.bTls) {
                SendHandshakeFailure(fdClient);
            }
            EndSession(link, strReason, strSummary, !client.bTls);
        }
        const tls::CHandshakeSummary summary =
            tls::CTlsEngine::Summarize(serverSsl.get(), true, &note);
        LogTlsLine(link, ServerLine(summary, note, strUrlHost));
        if (note.nError != X509_V_OK) {
            LogTlsLine(link,
                       "Warning: the server's certificate was accepted although it does "
                       "not verify (Accept any server certificate is on)");
        }
        strServerAlpn = summary.strAlpn;
        if (!client.bTls) {
            NoteTlsSummary(link, tls::ShortSummary(summary));
        }
    }

    tls::SslPtr clientSsl;
    tls::CClientSideNote clientNote;
    if (client.bTls) {
        clientNote.strAlpn = strServerAlpn;
        if (!bServerTls && client.hello.bHasAlpn) {
            // A plain server: the first readable protocol the client offers.
            const std::vector<std::string> readable = tls::ReadableAlpn(client.hello.alpn);
            clientNote.strAlpn = readable.empty() ? std::string() : readable.front();
        }
        try {
            clientSsl = engine->NewClientSide(LeafHost(client, strUrlHost, fdClient), &clientNote);
        } catch (const tls::CTlsError& e) {
            SendHandshakeFailure(fdClient);
            EndSession(link, e.what(), "certificate authority", false);
        }
        UseDescriptor(clientSsl.get(), fdClient);
        const HandshakeResult result = DriveHandshake(clientSsl.get(), fdClient, isStopped);
        if (result != HandshakeResult::Done) {
            const std::string strDetail = tls::TakeOpenSslError();
            ERR_clear_error();
            if (!clientNote.strAlert.empty()) {
                EndSession(link,
                           "The client refused Tapvane's certificate: " + clientNote.strAlert +
                               ". Trust the certificate authority, or switch off decryption "
                               "for this client",
                           clientNote.strAlert, true);
            }
            EndSession(link,
                       result == HandshakeResult::TimedOut
                           ? std::string("The TLS handshake with the client took too long")
                           : "The TLS handshake with the client failed" +
                                 (strDetail.empty() ? std::string() : ": " + strDetail),
                       "client handshake", true);
        }
        const tls::CHandshakeSummary summary =
            tls::CTlsEngine::Summarize(clientSsl.get(), false, nullptr);
        LogTlsLine(link, ClientLine(summary, client.hello));
        NoteTlsSummary(link, tls::ShortSummary(summary));
    }

    // Both handshakes are done: from here on the session's sockets carry clear bytes. The
    // filters keep the mode the session gives its handles; the descriptors stay
    // non-blocking under them.
    clientMode.Restore();
    serverMode.Restore();
    if (serverSsl) {
        AttachTls(hServer, std::move(serverSsl), engine);
    }
    if (clientSsl) {
        AttachTls(hLocal, std::move(clientSsl), engine);
    }
}

}  // namespace

void SetUpSessionTls(CSessionLink& link, win::SOCKET hLocal, win::SOCKET hServer,
                     const std::wstring& strUrl, const std::function<bool()>& isStopped) {
    try {
        SetUpSides(link, hLocal, hServer, strUrl, isStopped);
    } catch (const tls::CTlsError& e) {
        // An SSL object or a certificate that could not be made: the session cannot go on.
        EndSession(link, e.what(), "TLS error", true);
    }
}
