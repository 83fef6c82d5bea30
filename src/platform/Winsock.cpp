#include "platform/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/FaultInjection.h"
#include "platform/Kernel.h"
#include "platform/SystemText.h"
#include "platform/WinsockInternal.h"

namespace win {

namespace {

std::mutex g_startupMutex;
int g_nStartups = 0;  // guarded by g_startupMutex
std::atomic<bool> g_bStarted{false};

int Fail(int nError) {
    SetLastError(static_cast<DWORD>(nError));
    return SOCKET_ERROR;
}

socklen_t AddrLen(const int* pnLen) {
    return pnLen ? static_cast<socklen_t>(*pnLen) : 0;
}

int PollTimeout(const timeval* pTimeout) {
    if (pTimeout == nullptr) {
        return -1;
    }
    const long long ms = static_cast<long long>(pTimeout->tv_sec) * 1000 + pTimeout->tv_usec / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms);
}

int ResolveError(int nEai) {
    switch (nEai) {
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
        case EAI_MEMORY:
            return WSAENOBUFS;
        default:
            return WSANO_RECOVERY;
    }
}

}  // namespace

CSocketEntry::~CSocketEntry() {
    ::close(m_fd);
}

CHandleTable<CSocketEntry>& SocketTable() {
    static CHandleTable<CSocketEntry> s_table;
    return s_table;
}

std::shared_ptr<CSocketEntry> FindSocket(SOCKET s) {
    auto p = SocketTable().Find(s);
    if (!p) {
        SetLastError(WSAENOTSOCK);
    }
    return p;
}

int FailFromErrno(CSocketEntry* pEntry, int nErrno) {
    int nError = WsaErrorFromErrno(nErrno);
    if (nErrno == EBADF && pEntry != nullptr) {
        nError = WSAENOTSOCK;
    }
    if (nErrno == EPIPE && pEntry != nullptr && pEntry->m_bShutSend) {
        nError = WSAESHUTDOWN;  // our own sending side was shut down
    }
    if ((nError == WSAECONNRESET || nErrno == EPIPE) && pEntry != nullptr &&
        nError != WSAESHUTDOWN) {
        pEntry->m_nResetError = WSAECONNRESET;
    }
    return Fail(nError);
}

int WSAStartup(WORD wVersionRequested, WSADATA* pData) {
    if (pData == nullptr) {
        return WSAEFAULT;
    }
    if ((wVersionRequested & 0xFF) < 1) {
        return WSAVERNOTSUPPORTED;
    }
    std::memset(pData, 0, sizeof(*pData));
    pData->wVersion = 0x0202;
    pData->wHighVersion = 0x0202;
    std::strcpy(pData->szDescription, "Tapvane sockets over POSIX");
    std::strcpy(pData->szSystemStatus, "Running");
    std::lock_guard lock(g_startupMutex);
    ++g_nStartups;
    g_bStarted = true;
    return 0;
}

int WSACleanup() {
    std::lock_guard lock(g_startupMutex);
    if (g_nStartups == 0) {
        return Fail(WSANOTINITIALISED);
    }
    if (--g_nStartups == 0) {
        g_bStarted = false;
    }
    return 0;
}

int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}
void WSASetLastError(int nError) {
    SetLastError(static_cast<DWORD>(nError));
}

namespace {

// A new socket's handle. A socket's descriptor opens for reading and writing, and is
// non-blocking only when made so: its status flags are known without asking.
SOCKET InsertSocket(int fd, bool bNonBlocking) {
    auto p = std::make_shared<CSocketEntry>(fd);
    p->m_nStatusFlags = O_RDWR | (bNonBlocking ? O_NONBLOCK : 0);
    return SocketTable().Insert(std::move(p));
}

}  // namespace

SOCKET socket(int af, int type, int protocol) {
    if (!g_bStarted) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    const int nFault = TakeFault(FaultCall::Socket);
    const int fd = nFault != 0 ? -1 : ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailFromErrno(nullptr, nFault != 0 ? nFault : errno);
        return INVALID_SOCKET;
    }
    return InsertSocket(fd, (type & SOCK_NONBLOCK) != 0);
}

int bind(SOCKET s, const sockaddr* pAddr, int nAddrLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    // A port that only has connections in TIME_WAIT is free to bind, as on Windows; a port
    // that another socket listens on still fails with WSAEADDRINUSE.
    if (const int nFault = TakeFault(FaultCall::Bind, p->m_fd)) {
        return FailFromErrno(p.get(), nFault);
    }
    int nOn = 1;
    ::setsockopt(p->m_fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    // Binding an outgoing socket to "any address, any port" must not pick its port yet:
    // a port picked by bind may not be shared with connections in TIME_WAIT, so after a few
    // thousand relayed connections each bind searches long and at last finds none. connect
    // picks the port instead, as it does for a socket that was never bound.
    const auto* pIn = reinterpret_cast<const sockaddr_in*>(pAddr);
    const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(pAddr);
    const bool bAnyIn = pAddr != nullptr && nAddrLen >= static_cast<int>(sizeof(sockaddr_in)) &&
                        pIn->sin_family == AF_INET && pIn->sin_port == 0 &&
                        pIn->sin_addr.s_addr == INADDR_ANY;
    const bool bAnyIn6 = pAddr != nullptr && nAddrLen >= static_cast<int>(sizeof(sockaddr_in6)) &&
                         pIn6->sin6_family == AF_INET6 && pIn6->sin6_port == 0 &&
                         IN6_IS_ADDR_UNSPECIFIED(&pIn6->sin6_addr);
    if (bAnyIn || bAnyIn6) {
        ::setsockopt(p->m_fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &nOn, sizeof(nOn));
    }
    if (::bind(p->m_fd, pAddr, static_cast<socklen_t>(nAddrLen)) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    return 0;
}

int listen(SOCKET s, int nBacklog) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (::listen(p->m_fd, nBacklog) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* pAddr, int* pnAddrLen) {
    auto p = FindSocket(s);
    if (!p) {
        return INVALID_SOCKET;
    }
    for (;;) {
        socklen_t len = AddrLen(pnAddrLen);
        int fd = -1;
        if (const int nFault = TakeFault(FaultCall::Accept, p->m_fd)) {
            // As the system fails: after a connection was waiting.
            pollfd pfd{p->m_fd, POLLIN, 0};
            ::poll(&pfd, 1, -1);
            errno = nFault;
        } else {
            fd = ::accept4(p->m_fd, pAddr, pAddr ? &len : nullptr, SOCK_CLOEXEC);
        }
        if (fd >= 0) {
            if (pnAddrLen != nullptr) {
                *pnAddrLen = static_cast<int>(len);
            }
            return InsertSocket(fd, false);
        }
        const int nErrno = errno;
        if (p->m_bClosed) {
            // The listening socket was closed by another thread: the pending accept is
            // interrupted, as a blocking call is when its socket is closed under it.
            Fail(WSAEINTR);
            return INVALID_SOCKET;
        }
        if (nErrno == EINTR || nErrno == ECONNABORTED) {
            continue;
        }
        FailFromErrno(p.get(), nErrno);
        return INVALID_SOCKET;
    }
}

int connect(SOCKET s, const sockaddr* pAddr, int nAddrLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (const int nFault = TakeFault(FaultCall::Connect, p->m_fd)) {
        return FailFromErrno(p.get(), nFault);
    }
    if (::connect(p->m_fd, pAddr, static_cast<socklen_t>(nAddrLen)) == 0) {
        return 0;
    }
    int nErrno = errno;
    if (nErrno == EINTR) {
        // The connection goes on in the background; wait for its outcome.
        pollfd pfd{p->m_fd, POLLOUT, 0};
        while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
        }
        socklen_t len = sizeof(nErrno);
        ::getsockopt(p->m_fd, SOL_SOCKET, SO_ERROR, &nErrno, &len);
        if (nErrno == 0) {
            return 0;
        }
    }
    if (p->m_bClosed) {
        return Fail(WSAEINTR);
    }
    return FailFromErrno(p.get(), nErrno);
}

int closesocket(SOCKET s) {
    auto p = SocketTable().Remove(s);
    if (!p) {
        return Fail(WSAENOTSOCK);
    }
    p->m_bClosed = true;
    if (ISocketFilter* pFilter = p->m_pFilter.load(std::memory_order_acquire)) {
        FilteredCloseNotice(*p, *pFilter);
    }
    // Wake every thread blocked on the socket (accept, recv, poll): Linux does not do so when
    // a descriptor is merely closed. The descriptor itself is closed with the last reference.
    if (p->m_bAbortive) {
        // SO_LINGER with a zero time: the peer gets a reset at once, never an orderly end
        // first (a shutdown would send one). Disconnecting the socket sends the reset and
        // wakes the blocked threads as the shutdown does.
        // The raw system call: the thread sanitizer takes a successful connect for a new
        // socket on the descriptor and reports every thread still reading it, which is just
        // what this call is for (the kernel wakes those reads).
        sockaddr unspec{};
        unspec.sa_family = AF_UNSPEC;
        ::syscall(SYS_connect, p->m_fd, &unspec, sizeof(unspec));
    } else if (!p->m_bShutSend || !p->m_bEndReached) {
        // Not needed once both directions are over (this side's end sent, the peer's
        // received): no call can be waiting then, and there is nothing left to shut.
        ::shutdown(p->m_fd, SHUT_RDWR);
    }
    std::shared_ptr<CWsaEvent> pEvent;
    {
        std::lock_guard lock(p->m_mutex);
        pEvent = p->m_pEvent;
    }
    if (pEvent) {
        pEvent->Set();
    }
    return 0;
}

int shutdown(SOCKET s, int how) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    const int nHow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (how != SD_RECEIVE) {
        p->m_bShutSend = true;
    }
    if (const int nFault = TakeFault(FaultCall::Shutdown, p->m_fd)) {
        return FailFromErrno(p.get(), nFault);
    }
    if (ISocketFilter* pFilter = p->m_pFilter.load(std::memory_order_acquire)) {
        return FilteredShutdown(*p, *pFilter, how);
    }
    if (::shutdown(p->m_fd, nHow) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    return 0;
}

int send(SOCKET s, const char* pBuf, int nLen, int nFlags) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (nLen < 0) {
        return Fail(WSAEFAULT);
    }
    if (const int nFault = TakeFault(FaultCall::Send, p->m_fd)) {
        return FailFromErrno(p.get(), nFault);
    }
    if (ISocketFilter* pFilter = p->m_pFilter.load(std::memory_order_acquire)) {
        return FilteredSend(*p, *pFilter, pBuf, nLen, nFlags);
    }
    for (;;) {
        const ssize_t n = ::send(p->m_fd, pBuf, static_cast<size_t>(nLen), nFlags | MSG_NOSIGNAL);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            return FailFromErrno(p.get(), errno);
        }
    }
}

int recv(SOCKET s, char* pBuf, int nLen, int nFlags) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (nLen < 0) {
        return Fail(WSAEFAULT);
    }
    if (ISocketFilter* pFilter = p->m_pFilter.load(std::memory_order_acquire)) {
        if (const int nFault = TakeFault(FaultCall::Recv, p->m_fd)) {
            return FailFromErrno(p.get(), nFault);
        }
        return FilteredRecv(*p, *pFilter, pBuf, nLen, nFlags);
    }
    for (;;) {
        const int nFault = TakeFault(FaultCall::Recv, p->m_fd);
        const ssize_t n =
            nFault != 0 ? -1 : ::recv(p->m_fd, pBuf, static_cast<size_t>(nLen), nFlags);
        const int nErrno = nFault != 0 ? nFault : errno;
        {
            // Every receive re-arms FD_READ: data still queued is recorded by the next wait.
            std::lock_guard lock(p->m_mutex);
            p->m_bReadEnabled = true;
        }
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (nErrno != EINTR) {
            return FailFromErrno(p.get(), nErrno);
        }
    }
}

int sendto(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    const ssize_t n = ::sendto(p->m_fd, pBuf, static_cast<size_t>(nLen), nFlags | MSG_NOSIGNAL, pTo,
                               static_cast<socklen_t>(nToLen));
    return n >= 0 ? static_cast<int>(n) : FailFromErrno(p.get(), errno);
}

int recvfrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    socklen_t len = AddrLen(pnFromLen);
    const ssize_t n =
        ::recvfrom(p->m_fd, pBuf, static_cast<size_t>(nLen), nFlags, pFrom, pFrom ? &len : nullptr);
    if (n < 0) {
        return FailFromErrno(p.get(), errno);
    }
    if (pnFromLen != nullptr) {
        *pnFromLen = static_cast<int>(len);
    }
    return static_cast<int>(n);
}

namespace {

using AddressQuery = int (*)(int, sockaddr*, socklen_t*);

int QueryAddress(SOCKET s, AddressQuery pfnQuery, sockaddr* pAddr, int* pnAddrLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    socklen_t len = AddrLen(pnAddrLen);
    if (pfnQuery(p->m_fd, pAddr, &len) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    *pnAddrLen = static_cast<int>(len);
    return 0;
}

}  // namespace

int getpeername(SOCKET s, sockaddr* pAddr, int* pnAddrLen) {
    return QueryAddress(s, ::getpeername, pAddr, pnAddrLen);
}

int getsockname(SOCKET s, sockaddr* pAddr, int* pnAddrLen) {
    return QueryAddress(s, ::getsockname, pAddr, pnAddrLen);
}

int setsockopt(SOCKET s, int nLevel, int nName, const void* pValue, int nLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (::setsockopt(p->m_fd, nLevel, nName, pValue, static_cast<socklen_t>(nLen)) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    if (nLevel == SOL_SOCKET && nName == SO_LINGER && pValue != nullptr &&
        nLen >= static_cast<int>(sizeof(linger))) {
        const auto* pLinger = static_cast<const linger*>(pValue);
        p->m_bAbortive = pLinger->l_onoff != 0 && pLinger->l_linger == 0;
    }
    return 0;
}

int getsockopt(SOCKET s, int nLevel, int nName, void* pValue, int* pnLen) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (pnLen == nullptr) {
        return Fail(WSAEFAULT);
    }
    socklen_t len = AddrLen(pnLen);
    if (::getsockopt(p->m_fd, nLevel, nName, pValue, &len) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    if (nLevel == SOL_SOCKET && nName == SO_ERROR && pValue != nullptr &&
        len >= static_cast<socklen_t>(sizeof(int))) {
        // The pending error as a Winsock code.
        int& nError = *static_cast<int*>(pValue);
        nError = nError == 0 ? 0 : WsaErrorFromErrno(nError);
    }
    *pnLen = static_cast<int>(len);
    return 0;
}

int WSAPoll(WSAPOLLFD* pFds, unsigned long nFds, int nTimeoutMs) {
    std::vector<std::shared_ptr<CSocketEntry>> entries;
    std::vector<pollfd> fds;
    entries.reserve(nFds);
    fds.reserve(nFds);
    for (unsigned long i = 0; i < nFds; ++i) {
        auto p = FindSocket(pFds[i].fd);
        if (!p) {
            return SOCKET_ERROR;
        }
        fds.push_back(pollfd{p->m_fd, pFds[i].events, 0});
        entries.push_back(std::move(p));  // the descriptors stay valid during the wait
    }
    for (;;) {
        const int n = ::poll(fds.data(), fds.size(), nTimeoutMs);
        if (n >= 0) {
            for (unsigned long i = 0; i < nFds; ++i) {
                pFds[i].revents =
                    entries[i]->m_bClosed ? static_cast<short>(POLLNVAL) : fds[i].revents;
            }
            return n;
        }
        if (errno != EINTR) {
            return FailFromErrno(nullptr, errno);
        }
    }
}

int ioctlsocket(SOCKET s, long lCommand, unsigned long* pArg) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (pArg == nullptr) {
        return Fail(WSAEFAULT);
    }
    ISocketFilter* pFilter = p->m_pFilter.load(std::memory_order_acquire);
    if (lCommand == FIONREAD_ && pFilter != nullptr) {
        return FilteredAvailable(*pFilter, pArg);
    }
    if (lCommand == FIONBIO_ && pFilter != nullptr) {
        p->m_bNonBlocking = *pArg != 0;  // the descriptor stays non-blocking underneath
        return 0;
    }
    if (lCommand == FIONREAD_) {
        if (p->m_bEndReached) {
            *pArg = 0;  // nothing arrives after the peer's end
            return 0;
        }
        int n = 0;
        if (::ioctl(p->m_fd, FIONREAD, &n) != 0) {
            return FailFromErrno(p.get(), errno);
        }
        *pArg = static_cast<unsigned long>(n);
        return 0;
    }
    if (lCommand == FIONBIO_) {
        std::lock_guard lock(p->m_flagsMutex);
        const int nFlags = p->m_nStatusFlags >= 0 ? p->m_nStatusFlags : ::fcntl(p->m_fd, F_GETFL);
        if (nFlags < 0) {
            return FailFromErrno(p.get(), errno);
        }
        const int nNew = *pArg ? (nFlags | O_NONBLOCK) : (nFlags & ~O_NONBLOCK);
        if (nNew != nFlags || p->m_nStatusFlags < 0) {
            if (::fcntl(p->m_fd, F_SETFL, nNew) != 0) {
                p->m_nStatusFlags = -1;
                return FailFromErrno(p.get(), errno);
            }
        }
        p->m_nStatusFlags = nNew;
        return 0;
    }
    return Fail(WSAEINVAL);
}

int select(SOCKET s, SelectFor what, const timeval* pTimeout) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (ISocketFilter* pFilter = p->m_pFilter.load(std::memory_order_acquire);
        pFilter != nullptr && what == SelectFor::Read) {
        return FilteredSelectRead(*p, *pFilter, PollTimeout(pTimeout));
    }
    // poll, not select: descriptors of 1024 and above are fine.
    pollfd pfd{p->m_fd, static_cast<short>(what == SelectFor::Read ? POLLIN : POLLOUT), 0};
    for (;;) {
        const int n = ::poll(&pfd, 1, PollTimeout(pTimeout));
        if (n >= 0) {
            return n > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            return FailFromErrno(p.get(), errno);
        }
    }
}

unsigned long inet_addr(const char* pszText) {
    if (pszText == nullptr) {
        return INADDR_NONE;
    }
    in_addr addr{};
    if (::inet_aton(pszText, &addr) == 0) {
        return INADDR_NONE;
    }
    return addr.s_addr;
}

const char* inet_ntoa(in_addr addr) {
    thread_local char t_szBuffer[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &addr, t_szBuffer, sizeof(t_szBuffer));
    return t_szBuffer;
}

int ResolveHostByName(const char* pszName, in_addr* pAddr) {
    if (pszName == nullptr || pAddr == nullptr) {
        return Fail(WSAEFAULT);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    const int nEai = ::getaddrinfo(pszName, nullptr, &hints, &pResult);
    if (nEai != 0 || pResult == nullptr) {
        return Fail(nEai == EAI_SYSTEM ? WsaErrorFromErrno(errno) : ResolveError(nEai));
    }
    *pAddr = reinterpret_cast<const sockaddr_in*>(pResult->ai_addr)->sin_addr;
    ::freeaddrinfo(pResult);
    return 0;
}

int ResolveHostAddresses(const char* pszName, std::vector<sockaddr_storage>* pAddrs) {
    if (pszName == nullptr || pAddrs == nullptr) {
        return Fail(WSAEFAULT);
    }
    pAddrs->clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* pResult = nullptr;
    int nEai = ::getaddrinfo(pszName, nullptr, &hints, &pResult);
    if (nEai != 0 && nEai != EAI_AGAIN && nEai != EAI_MEMORY && nEai != EAI_SYSTEM) {
        hints.ai_flags = 0;
        nEai = ::getaddrinfo(pszName, nullptr, &hints, &pResult);
    }
    if (nEai != 0 || pResult == nullptr) {
        return Fail(nEai == EAI_SYSTEM ? WsaErrorFromErrno(errno) : ResolveError(nEai));
    }
    for (const addrinfo* p = pResult; p != nullptr; p = p->ai_next) {
        if ((p->ai_family == AF_INET || p->ai_family == AF_INET6) &&
            p->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage addr{};
            std::memcpy(&addr, p->ai_addr, p->ai_addrlen);
            pAddrs->push_back(addr);
        }
    }
    ::freeaddrinfo(pResult);
    return pAddrs->empty() ? Fail(WSANO_DATA) : 0;
}

int ResolveHostByAddr(in_addr addr, std::string* pstrName) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    char szHost[NI_MAXHOST];
    const int nEai = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof(sa), szHost,
                                   sizeof(szHost), nullptr, 0, NI_NAMEREQD);
    if (nEai != 0) {
        return Fail(nEai == EAI_SYSTEM ? WsaErrorFromErrno(errno) : ResolveError(nEai));
    }
    *pstrName = szHost;
    return 0;
}

std::size_t OpenSocketCount() {
    return SocketTable().Count();
}

}  // namespace win
