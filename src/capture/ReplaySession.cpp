#include "capture/ReplaySession.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "capture/RelayRecords.h"
#include "capture/ServerUrl.h"
#include "capture/SessionLink.h"
#include "module/MyModule.h"
#include "platform/TextConv.h"
#include "support/ResourceStrings.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveSize = 65536;
constexpr unsigned kIdSessionStarts = 147;
constexpr unsigned kIdSessionStopped = 148;
constexpr unsigned kIdConnectFailed = 140;

// The host to resolve for the URL box's text: its host, without the brackets of an IPv6
// address.
std::string HostOf(const std::wstring& strServer) {
    std::wstring strHost;
    if (const std::optional<CServerUrl> server = ParseServerUrl(strServer)) {
        strHost = server->strHost;
    } else {
        strHost = strServer;
    }
    if (strHost.size() >= 2 && strHost.front() == L'[' && strHost.back() == L']') {
        strHost = strHost.substr(1, strHost.size() - 2);
    }
    return win::WideToAnsi(strHost);
}

// Milliseconds for poll, rounded up so that a wait never ends just before its deadline.
int PollTimeout(Clock::duration left) {
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<std::int64_t>(ms, 60000));
}

std::wstring ErrnoText(int nError) {
    return win::AnsiToWide(std::strerror(nError));
}

CNetAddress SocketAddress(int fd, bool bPeer) {
    sockaddr_storage storage{};
    socklen_t nLength = sizeof(storage);
    const int nResult = bPeer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &nLength)
                              : ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &nLength);
    return nResult == 0 ? NetAddressOf(storage) : CNetAddress{};
}

}  // namespace

// One run of a replay, on the replay's thread.
class CReplaySession::CRun {
public:
    CRun(const CReplayPlan& plan, long nSession, int nStopFd)
        : m_plan(plan),
          m_nSession(nSession),
          m_nStopFd(nStopFd),
          m_link(nSession),
          m_strClientMarker("\r\n" + std::to_string(nSession) + "---<---"),
          m_strServerMarker("\r\n" + std::to_string(nSession) + "--->---"),
          m_buffer(kReceiveSize) {}
    ~CRun() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    CReplayResult Go() {
        const std::string strHost = HostOf(m_plan.strServer);
        std::wstring strError;
        m_result.bConnected = Connect(strHost, strError);
        LogStart(strHost);
        if (!m_result.bConnected) {
            if (!m_result.bStopped) {
                std::replace(strError.begin(), strError.end(), L'\n', L' ');
                Fail(strError);
            }
        } else {
            SendBlocks();
            Finish();
        }
        End();
        return m_result;
    }

private:
    // Resolves the host and connects to its addresses in turn; false after a failure (its
    // text in strError) or a stop.
    bool Connect(const std::string& strHost, std::wstring& strError) {
        const auto fail = [&](const std::wstring& strReason) {
            FormatResource(strError, kIdConnectFailed, win::AnsiToWide(strHost), m_plan.nPort);
            strError += L"\n" + strReason;
            return false;
        };
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_family = AF_UNSPEC;
        addrinfo* pList = nullptr;
        const std::string strPort = std::to_string(m_plan.nPort);
        if (m_plan.nPort <= 0 || m_plan.nPort > 65535) {
            return fail(L"No port to connect to.");
        }
        if (const int nGai = ::getaddrinfo(strHost.c_str(), strPort.c_str(), &hints, &pList);
            nGai != 0) {
            return fail(win::AnsiToWide(::gai_strerror(nGai)));
        }
        int nLastError = ECONNREFUSED;
        const auto deadline = Clock::now() + m_plan.connectTimeout;
        for (const addrinfo* p = pList; p != nullptr && m_fd < 0; p = p->ai_next) {
            const int fd = ::socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                nLastError = errno;
                continue;
            }
            if (::connect(fd, p->ai_addr, p->ai_addrlen) != 0 && errno != EINPROGRESS) {
                nLastError = errno;
                ::close(fd);
                continue;
            }
            pollfd fds[2] = {{fd, POLLOUT, 0}, {m_nStopFd, POLLIN, 0}};
            int nReady = 0;
            do {
                nReady = ::poll(fds, 2, PollTimeout(deadline - Clock::now()));
            } while (nReady < 0 && errno == EINTR);
            if (fds[1].revents != 0) {
                ::close(fd);
                m_result.bStopped = true;
                break;
            }
            int nSoError = ETIMEDOUT;
            socklen_t nLength = sizeof(nSoError);
            if (nReady > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &nSoError, &nLength) != 0) {
                nSoError = errno;
            }
            if (nSoError != 0) {
                nLastError = nSoError;
                ::close(fd);
                continue;
            }
            m_fd = fd;
        }
        ::freeaddrinfo(pList);
        if (m_fd >= 0) {
            return true;
        }
        return m_result.bStopped ? false : fail(ErrnoText(nLastError));
    }

    // The start line and the records of the start, as a relayed session writes them.
    void LogStart(const std::string& strHost) {
        {
            CModuleLock lock;
            CLogRecord start;
            start.kind = LogRecordKind::SessionStart;
            if (m_fd >= 0) {
                start.client = SocketAddress(m_fd, false);
            }
            LogSessionRecord(m_link, start);
            if (!m_plan.strOrigin.empty()) {
                CLogRecord origin;
                origin.kind = LogRecordKind::SessionOrigin;
                origin.bytes = m_plan.strOrigin;
                LogSessionRecord(m_link, origin);
            }
            LogSessionLine(m_nSession, kIdSessionStarts);
            if (!m_plan.strOrigin.empty()) {
                LogSessionError(m_nSession, win::AnsiToWide(m_plan.strOrigin));
            }
            CLogRecord connected;
            connected.strServerHost = strHost;
            if (m_fd >= 0) {
                connected.kind = LogRecordKind::SessionConnected;
                connected.server = SocketAddress(m_fd, true);
            } else {
                connected.kind = LogRecordKind::SessionRefused;
                connected.server.nPort = static_cast<std::uint16_t>(m_plan.nPort);
            }
            if (m_fd >= 0 || !m_result.bStopped) {
                LogSessionRecord(m_link, connected);  // a stop while connecting refused nothing
            }
        }
    }

    void SendBlocks() {
        const std::vector<CReplayBlock>& blocks = m_plan.blocks;
        Clock::time_point sendAt = Clock::now();
        m_lastReceive = sendAt;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (m_plan.timing == ReplayTiming::Recorded && i > 0) {
                const std::int64_t nGapUs =
                    std::max<std::int64_t>(0, blocks[i].nTimeUs - blocks[i - 1].nTimeUs);
                sendAt +=
                    std::min<Clock::duration>(std::chrono::microseconds(nGapUs), m_plan.maxPause);
                if (!Wait(sendAt, false)) {
                    return;
                }
            }
            if (!m_bServerOpen) {
                const std::size_t nLeft = blocks.size() - i;
                Fail(L"the server closed the connection before " + std::to_wstring(nLeft) +
                     (nLeft == 1 ? L" block was sent" : L" blocks were sent"));
                return;
            }
            if (!SendBlock(blocks[i].bytes)) {
                return;
            }
            ++m_result.nBlocksSent;
            if (m_plan.timing == ReplayTiming::Quiet) {
                m_lastReceive = Clock::now();  // the answer has `quiet` to begin
                if (!Wait(Clock::now() + m_plan.maxWait, true)) {
                    return;
                }
            }
        }
    }

    // After the last block: the answer is let in until it goes quiet, then the client's
    // side is closed in order and the server's close waited for as briefly.
    void Finish() {
        if (m_result.bFailed || m_result.bStopped) {
            return;
        }
        if (m_plan.timing == ReplayTiming::Recorded) {
            m_lastReceive = Clock::now();
            if (!Wait(Clock::now() + m_plan.maxWait, true)) {
                return;
            }
        }
        if (::shutdown(m_fd, SHUT_WR) != 0) {
            LogSideRecord(m_link, LogRecordKind::SideReset, LogDirection::ServerToClient);
            Fail(L"Passing the close on to the server failed! " + ErrnoText(errno));
            return;
        }
        LogSideRecord(m_link, LogRecordKind::SideClosed, LogDirection::ClientToServer);
        m_lastReceive = Clock::now();
        Wait(Clock::now() + m_plan.maxWait, true);
    }

    void End() {
        if (m_fd >= 0) {
            if (m_result.bStopped || m_result.bFailed) {
                // Neither a stop nor a failure may look like an orderly end to the server.
                const linger reset{1, 0};
                ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            }
            ::close(m_fd);
            m_fd = -1;
        }
        CModuleLock lock;
        LogSideRecord(m_link, LogRecordKind::SessionEnd, LogDirection::ClientToServer);
        LogSessionLine(m_nSession, kIdSessionStopped);
    }

    void Fail(const std::wstring& strReason) {
        m_result.bFailed = true;
        m_result.strError = strReason;
        LogSessionError(m_nSession, strReason);
    }

    // Receives what the server sends until `deadline`, or with `bQuiet` until it has sent
    // nothing for the quiet time (or has closed). False after a stop or a failure.
    bool Wait(Clock::time_point deadline, bool bQuiet) {
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point until = deadline;
            if (bQuiet) {
                if (!m_bServerOpen) {
                    return true;
                }
                until = std::min(until, m_lastReceive + m_plan.quiet);
            }
            if (now >= until) {
                return true;
            }
            pollfd fds[2] = {{m_nStopFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
            const nfds_t nCount = m_bServerOpen ? 2 : 1;
            const int nReady = ::poll(fds, nCount, PollTimeout(until - now));
            if (nReady < 0 && errno != EINTR) {
                Fail(L"Waiting for the server failed! " + ErrnoText(errno));
                return false;
            }
            if (fds[0].revents != 0) {
                m_result.bStopped = true;
                return false;
            }
            if (nCount == 2 && fds[1].revents != 0 && !Receive()) {
                return false;
            }
        }
    }

    // One receive from the server, logged as a relayed answer is. False after a failure.
    bool Receive() {
        const ssize_t n = ::recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            const std::string_view block(m_buffer.data(), static_cast<std::size_t>(n));
            CModuleLock lock;
            LogBlockBegin(m_link);
            g_Module.AppendLogUtf8(m_strServerMarker, LOG_STYLE_BOLD);
            g_Module.AppendLogBlock(block, LOG_STYLE_PLAIN);
            LogBlockRecord(m_link, LogDirection::ServerToClient, block);
            m_result.nBytesReceived += static_cast<std::uint64_t>(n);
            m_lastReceive = Clock::now();
            return true;
        }
        if (n == 0) {
            m_bServerOpen = false;
            m_result.bServerClosed = true;
            LogSideRecord(m_link, LogRecordKind::SideClosed, LogDirection::ServerToClient);
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }
        const int nError = errno;
        m_bServerOpen = false;
        LogSideRecord(m_link, LogRecordKind::SideReset, LogDirection::ServerToClient);
        Fail(L"Receive from the server failed! " + ErrnoText(nError));
        return false;
    }

    // Logs the block as a relayed client block (before it goes out, so that the log never
    // shows an answer before its request), then sends it whole, taking in what the server
    // sends meanwhile. False after a stop or a failure.
    bool SendBlock(std::string_view block) {
        {
            CModuleLock lock;
            LogBlockBegin(m_link);
            g_Module.AppendLogUtf8(m_strClientMarker, LOG_STYLE_BOLD);
            g_Module.AppendLogBlock(block, LOG_STYLE_PLAIN);
            LogBlockRecord(m_link, LogDirection::ClientToServer, block);
        }
        std::size_t nSent = 0;
        while (nSent < block.size()) {
            const ssize_t n =
                ::send(m_fd, block.data() + nSent, block.size() - nSent, MSG_NOSIGNAL);
            if (n > 0) {
                nSent += static_cast<std::size_t>(n);
                m_result.nBytesSent += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                const int nError = errno;
                LogSideRecord(m_link, LogRecordKind::SideReset, LogDirection::ServerToClient);
                Fail(L"Send to the server failed! " + ErrnoText(nError));
                return false;
            }
            // A full send buffer: wait for room, reading the server's answers so that a
            // server that writes before it reads on cannot hold both ends up.
            pollfd fds[2] = {{m_nStopFd, POLLIN, 0},
                             {m_fd, static_cast<short>(POLLOUT | (m_bServerOpen ? POLLIN : 0)), 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                Fail(L"Waiting for the server failed! " + ErrnoText(errno));
                return false;
            }
            if (fds[0].revents != 0) {
                m_result.bStopped = true;
                return false;
            }
            if ((fds[1].revents & POLLIN) != 0 && m_bServerOpen && !Receive()) {
                return false;
            }
        }
        return true;
    }

    const CReplayPlan& m_plan;
    const long m_nSession;
    const int m_nStopFd;
    CSessionLink m_link;
    const std::string m_strClientMarker;
    const std::string m_strServerMarker;
    std::vector<char> m_buffer;
    int m_fd = -1;
    bool m_bServerOpen = true;
    Clock::time_point m_lastReceive;
    CReplayResult m_result;
};

CReplaySession::CReplaySession(long nSession, CReplayPlan plan)
    : m_nSession(nSession),
      m_plan(std::move(plan)),
      m_nStopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CReplaySession::~CReplaySession() {
    Stop();
    Join();
    if (m_nStopFd >= 0) {
        ::close(m_nStopFd);
    }
}

void CReplaySession::Start() {
    m_thread = std::thread([this] { Run(); });
}

void CReplaySession::Stop() {
    if (m_nStopFd >= 0) {
        const std::uint64_t nOne = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_nStopFd, &nOne, sizeof(nOne));
    }
}

void CReplaySession::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

CReplayResult CReplaySession::GetResult() const {
    std::lock_guard lock(m_mutex);
    return m_result;
}

void CReplaySession::Run() {
    CReplayResult result;
    if (m_nStopFd < 0) {
        result.bFailed = true;
        result.strError = L"No event for the replay: " + ErrnoText(errno);
    } else {
        CRun run(m_plan, m_nSession, m_nStopFd);
        result = run.Go();
    }
    {
        std::lock_guard lock(m_mutex);
        m_result = std::move(result);
    }
    m_bDone = true;
}
