#include "tls/TlsPump.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>

namespace tls {

namespace {

// Bytes the pump moves at a time: several TLS records (16 KiB of clear text at most each)
// go to the session in one send, and one send of the session's becomes one SSL_write, so
// that a bulk transfer costs the session a wake-up per 64 KiB, as plain traffic does.
constexpr std::size_t kChunk = 65536;
constexpr std::size_t kRecord = 16384;
// How long a side whose session has closed may wait for its peer to take the last bytes.
constexpr auto kCloseLinger = std::chrono::seconds(10);

void SetNonBlocking(int fd) {
    const int nFlags = fcntl(fd, F_GETFL);
    if (nFlags >= 0) {
        fcntl(fd, F_SETFL, nFlags | O_NONBLOCK);
    }
}

void SetNoDelay(int fd) {
    const int nOn = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
}

// One side's state; the two directions are independent until both have ended.
class CSideState {
public:
    explicit CSideState(CPumpSide side) : m_side(std::move(side)) {
        SetNonBlocking(m_side.fdReal);
        SetNonBlocking(m_side.fdPair);
        // Reads as much of the connection as is there into the record layer, so that the
        // records of a burst cost one recv rather than two each (header, then body).
        SSL_set_read_ahead(m_side.ssl.get(), 1);
    }
    ~CSideState() { CloseAll(false); }
    CSideState(const CSideState&) = delete;
    CSideState& operator=(const CSideState&) = delete;

    bool IsOver() const { return m_bOver; }

    // Does what can be done without waiting; true when anything moved.
    bool Step(char* pBuffer) {
        if (m_bOver) {
            return false;
        }
        m_nRealEvents = 0;
        m_nPairEvents = 0;
        bool bProgress = FromTls(pBuffer);
        bProgress |= ToTls(pBuffer);
        if (bProgress) {
            m_lingerFrom.reset();  // the linger counts silence only
        }
        if (!m_bOver && m_bPairShut && m_bTlsShut) {
            CloseAll(false);
            bProgress = true;
        }
        return bProgress;
    }

    // The poll entries this side waits for (none once over).
    void AddPolls(std::vector<pollfd>& fds) const {
        if (m_bOver) {
            return;
        }
        // A descriptor waited for by neither direction stays out: its hang-up alone would
        // wake the loop again and again.
        fds.push_back(
            {m_nRealEvents != 0 ? m_side.fdReal : -1, static_cast<short>(m_nRealEvents), 0});
        fds.push_back(
            {m_nPairEvents != 0 ? m_side.fdPair : -1, static_cast<short>(m_nPairEvents), 0});
    }

    // Whether the session has closed and the peer is slow to finish: then the side is reset
    // after the linger time.
    void CheckLinger(std::chrono::steady_clock::time_point now) {
        if (m_bOver || !m_bPairEof) {
            return;
        }
        if (!m_lingerFrom) {
            m_lingerFrom = now;
        } else if (now - *m_lingerFrom > kCloseLinger) {
            CloseAll(true);
        }
    }

    void Abort() { CloseAll(true); }

private:
    // TLS from the peer to the session.
    bool FromTls(char* pBuffer) {
        bool bProgress = false;
        if (m_toPair.empty() && !m_bTlsEof && !m_bOver) {
            // The records already read go to the session together; what ends the loop (no
            // more data, the end, an error) is met again by the next SSL_read and handled
            // then, after these bytes are on their way.
            std::size_t nTotal = 0;
            int n = 0;
            while (nTotal + kRecord <= kChunk) {
                n = SSL_read(m_side.ssl.get(), pBuffer + nTotal, static_cast<int>(kChunk - nTotal));
                if (n <= 0) {
                    break;
                }
                nTotal += static_cast<std::size_t>(n);
                if (SSL_has_pending(m_side.ssl.get()) == 0) {
                    break;
                }
            }
            if (nTotal > 0) {
                bProgress = SendToPair(pBuffer, nTotal);
            } else if (const int nError = SSL_get_error(m_side.ssl.get(), n);
                       nError == SSL_ERROR_ZERO_RETURN) {
                m_bTlsEof = true;
                bProgress = true;
            } else if (!WaitsFor(nError)) {
                ERR_clear_error();
                CloseAll(true);  // a reset, or a broken record: the session sees a reset
                return true;
            }
        } else if (!m_toPair.empty() && !m_bOver) {
            const std::string strLeft = std::move(m_toPair);
            m_toPair.clear();
            bProgress = SendToPair(strLeft.data(), strLeft.size());
        }
        if (m_bTlsEof && m_toPair.empty() && !m_bPairShut && !m_bOver) {
            shutdown(m_side.fdPair, SHUT_WR);
            m_bPairShut = true;
            bProgress = true;
        }
        return bProgress;
    }

    // A TLS call that could not finish now: notes whether it waits for the peer's socket to
    // be readable or writable; false when it failed for another reason.
    bool WaitsFor(int nError) {
        if (nError == SSL_ERROR_WANT_READ) {
            m_nRealEvents |= POLLIN;
            return true;
        }
        if (nError == SSL_ERROR_WANT_WRITE) {
            m_nRealEvents |= POLLOUT;
            return true;
        }
        return false;
    }

    // Writes to the session's end what it takes now and keeps the rest.
    bool SendToPair(const char* pData, std::size_t nLength) {
        const ssize_t n = send(m_side.fdPair, pData, nLength, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            CloseAll(true);  // the session has gone: the peer is reset, as it would be
            return true;
        }
        const std::size_t nSent = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (nSent < nLength) {
            m_toPair.assign(pData + nSent, nLength - nSent);
            m_nPairEvents |= POLLOUT;
        }
        return nSent > 0;
    }

    // Clear bytes from the session to the peer as TLS.
    bool ToTls(char* pBuffer) {
        if (m_bOver) {
            return false;
        }
        bool bProgress = false;
        if (m_toTls.empty() && !m_bPairEof) {
            const ssize_t n = recv(m_side.fdPair, pBuffer, kChunk, 0);
            if (n > 0) {
                m_toTls.assign(pBuffer, static_cast<std::size_t>(n));
                bProgress = true;
            } else if (n == 0) {
                m_bPairEof = true;
                bProgress = true;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                m_nPairEvents |= POLLIN;
            } else {
                CloseAll(true);  // the session reset its end: the peer is reset too
                return true;
            }
        }
        if (!m_toTls.empty()) {
            const int n =
                SSL_write(m_side.ssl.get(), m_toTls.data(), static_cast<int>(m_toTls.size()));
            if (n > 0) {
                m_toTls.erase(0, static_cast<std::size_t>(n));
                if (m_toTls.empty()) {
                    std::string().swap(m_toTls);
                }
                bProgress = true;
            } else if (!WaitsFor(SSL_get_error(m_side.ssl.get(), n))) {
                ERR_clear_error();
                CloseAll(true);
                return true;
            }
        }
        if (m_bPairEof && m_toTls.empty() && !m_bTlsShut && !m_bOver) {
            SSL_shutdown(m_side.ssl.get());  // close_notify; its answer is not waited for
            ERR_clear_error();
            shutdown(m_side.fdReal, SHUT_WR);
            m_bTlsShut = true;
            bProgress = true;
        }
        return bProgress;
    }

    void CloseAll(bool bReset) {
        if (m_bOver) {
            return;
        }
        m_bOver = true;
        if (bReset) {
            ResetAndClose(m_side.fdReal);
            ResetAndClose(m_side.fdPair);
        } else {
            close(m_side.fdReal);
            close(m_side.fdPair);
        }
        m_side.ssl.reset();
        std::string().swap(m_toPair);
        std::string().swap(m_toTls);
    }

    CPumpSide m_side;
    std::string m_toPair;      // clear bytes read from TLS, not yet taken by the session
    std::string m_toTls;       // clear bytes from the session, not yet written as TLS
    bool m_bTlsEof = false;    // the peer has ended its stream
    bool m_bPairShut = false;  // ... and the session has been told
    bool m_bPairEof = false;   // the session has ended its stream
    bool m_bTlsShut = false;   // ... and the peer has been told
    bool m_bOver = false;
    int m_nRealEvents = 0;
    int m_nPairEvents = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lingerFrom;
};

// The pump thread: serves the sides until all are over or a stop is asked for.
void RunPump(std::vector<CPumpSide> sides, int fdWake, std::atomic<bool>& bDone) {
    const CNoSigPipe noSigPipe;
    std::vector<std::unique_ptr<CSideState>> states;
    for (CPumpSide& side : sides) {
        states.push_back(std::make_unique<CSideState>(std::move(side)));
    }
    // Left uninitialised: a session that stays idle never touches (and so never holds) the
    // pages of its buffer.
    const auto pBuffer = std::make_unique_for_overwrite<char[]>(kChunk);
    std::vector<pollfd> fds;
    while (true) {
        bool bProgress = true;
        while (bProgress) {
            bProgress = false;
            for (auto& state : states) {
                bProgress |= state->Step(pBuffer.get());
            }
        }
        fds.clear();
        for (const auto& state : states) {
            state->AddPolls(fds);
        }
        if (fds.empty()) {
            break;
        }
        fds.push_back({fdWake, POLLIN, 0});
        const int nReady = poll(fds.data(), fds.size(), 1000);
        if (nReady < 0 && errno != EINTR) {
            break;
        }
        if ((fds.back().revents & POLLIN) != 0) {
            break;  // StopAll
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto& state : states) {
            state->CheckLinger(now);
        }
    }
    for (auto& state : states) {
        state->Abort();  // only those still open: a stop
    }
    bDone = true;
}

}  // namespace

CNoSigPipe::CNoSigPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &m_old);
    sigset_t pending;
    sigpending(&pending);
    m_bWasPending = sigismember(&pending, SIGPIPE) == 1;
}

CNoSigPipe::~CNoSigPipe() {
    sigset_t pending;
    sigpending(&pending);
    if (!m_bWasPending && sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec zero{0, 0};
        sigtimedwait(&pipe, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

bool MakeLoopbackPair(int& fdOne, int& fdTwo) {
    const int fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fdListen < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof(addr);
    fdOne = -1;
    fdTwo = -1;
    if (bind(fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        listen(fdListen, 1) == 0 &&
        getsockname(fdListen, reinterpret_cast<sockaddr*>(&addr), &nLength) == 0) {
        fdOne = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fdOne >= 0 && connect(fdOne, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            fdTwo = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        }
    }
    const int nErrno = errno;
    close(fdListen);
    if (fdTwo < 0) {
        if (fdOne >= 0) {
            close(fdOne);
        }
        errno = nErrno;
        return false;
    }
    SetNoDelay(fdOne);
    SetNoDelay(fdTwo);
    return true;
}

void ResetAndClose(int fd) {
    if (fd < 0) {
        return;
    }
    const linger lingerZero{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerZero, sizeof(lingerZero));
    close(fd);
}

CTlsPumps& CTlsPumps::Instance() {
    static CTlsPumps s_pumps;
    return s_pumps;
}

CTlsPumps::~CTlsPumps() {
    StopAll();
}

void CTlsPumps::Start(std::vector<CPumpSide> sides) {
    for (const CPumpSide& side : sides) {
        SetNoDelay(side.fdReal);
    }
    std::lock_guard lock(m_mutex);
    Reap();
    auto pump = std::make_unique<CPump>();
    pump->fdWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    CPump* pPump = pump.get();
    pump->thread = std::thread([pPump, sides = std::move(sides)]() mutable {
        RunPump(std::move(sides), pPump->fdWake, pPump->bDone);
    });
    m_pumps.push_back(std::move(pump));
}

std::size_t CTlsPumps::RunningCount() {
    std::lock_guard lock(m_mutex);
    Reap();
    return m_pumps.size();
}

void CTlsPumps::StopAll() {
    std::list<std::unique_ptr<CPump>> pumps;
    {
        std::lock_guard lock(m_mutex);
        pumps.swap(m_pumps);
    }
    for (auto& pump : pumps) {
        const std::uint64_t nOne = 1;
        if (write(pump->fdWake, &nOne, sizeof(nOne)) < 0) {
            // The thread still ends with its sessions.
        }
    }
    for (auto& pump : pumps) {
        pump->thread.join();
        close(pump->fdWake);
    }
}

void CTlsPumps::Reap() {
    for (auto it = m_pumps.begin(); it != m_pumps.end();) {
        if ((*it)->bDone) {
            (*it)->thread.join();
            close((*it)->fdWake);
            it = m_pumps.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tls
