// The socket calls of a handle with a filter: the filter never waits, so the waits that the
// handle's mode asks for happen here, on the descriptor, outside the filter's calls.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "platform/Kernel.h"
#include "platform/WinsockInternal.h"

namespace win {

namespace {

// How long a shutdown waits for room to send the filter's end (a peer that reads nothing
// for that long gets the error, and the session resets it), and in what slices: a peer
// that frees a little room lets the end go at once, before the descriptor polls writable.
constexpr auto kShutdownWait = std::chrono::seconds(10);
constexpr int kShutdownSliceMs = 100;

int Fail(int nError) {
    SetLastError(static_cast<DWORD>(nError));
    return SOCKET_ERROR;
}

// Waits up to `nTimeoutMs` (-1: no limit) for `events` on the descriptor; an interrupted
// wait counts as ready, so that the caller tries again.
void WaitFor(const CSocketEntry& entry, short events, int nTimeoutMs) {
    pollfd pfd{entry.m_fd, events, 0};
    ::poll(&pfd, 1, nTimeoutMs);
}

bool CallWaits(const CSocketEntry& entry, int nFlags) {
    return (nFlags & MSG_DONTWAIT) == 0 && !entry.m_bNonBlocking;
}

}  // namespace

int SocketDescriptor(SOCKET s) {
    const std::shared_ptr<CSocketEntry> p = FindSocket(s);
    return p ? p->m_fd : -1;
}

bool HasSocketFilter(SOCKET s) {
    const std::shared_ptr<CSocketEntry> p = FindSocket(s);
    return p && p->m_pFilter.load(std::memory_order_acquire) != nullptr;
}

int AttachSocketFilter(SOCKET s, std::unique_ptr<ISocketFilter> pFilter) {
    const std::shared_ptr<CSocketEntry> p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (!pFilter || p->m_pFilter.load() != nullptr) {
        return Fail(WSAEINVAL);
    }
    const int nFlags = ::fcntl(p->m_fd, F_GETFL);
    if (nFlags < 0 || ::fcntl(p->m_fd, F_SETFL, nFlags | O_NONBLOCK) != 0) {
        return FailFromErrno(p.get(), errno);
    }
    p->m_bNonBlocking = (nFlags & O_NONBLOCK) != 0;
    {
        std::lock_guard flagsLock(p->m_flagsMutex);
        p->m_nStatusFlags = nFlags | O_NONBLOCK;
    }
    p->m_filterOwner = std::move(pFilter);
    p->m_pFilter.store(p->m_filterOwner.get(), std::memory_order_release);
    std::lock_guard lock(p->m_mutex);
    RecordNetworkEvents(*p, 0);  // bytes the filter holds already show at once
    return 0;
}

int FilteredRecv(CSocketEntry& entry, ISocketFilter& filter, char* pBuf, int nLen, int nFlags) {
    if ((nFlags & ~MSG_DONTWAIT) != 0) {
        return Fail(WSAEOPNOTSUPP);
    }
    if (nLen == 0) {
        return 0;
    }
    const bool bWait = CallWaits(entry, nFlags);
    for (;;) {
        const CFilterResult result = filter.Recv(pBuf, nLen);
        {
            // Every receive re-arms FD_READ, as for a plain socket.
            std::lock_guard lock(entry.m_mutex);
            entry.m_bReadEnabled = true;
        }
        if (result.n >= 0) {
            return result.n;
        }
        if (result.nWait == 0) {
            return FailFromErrno(&entry, result.nErrno);
        }
        if (!bWait) {
            return Fail(WSAEWOULDBLOCK);
        }
        if (entry.m_bClosed) {
            return Fail(WSAEINTR);  // closed by another thread while this one waits
        }
        WaitFor(entry, result.nWait, -1);  // a close wakes it: the descriptor is shut down
    }
}

int FilteredSend(CSocketEntry& entry, ISocketFilter& filter, const char* pBuf, int nLen,
                 int nFlags) {
    if ((nFlags & ~(MSG_DONTWAIT | MSG_NOSIGNAL)) != 0) {
        return Fail(WSAEOPNOTSUPP);
    }
    if (entry.m_bShutSend) {
        return Fail(WSAESHUTDOWN);
    }
    const bool bWait = CallWaits(entry, nFlags);
    int nDone = 0;
    while (nDone < nLen) {
        const CFilterResult result = filter.Send(pBuf + nDone, nLen - nDone);
        if (result.n > 0) {
            nDone += result.n;
            continue;
        }
        if (nDone > 0 && (!bWait || result.nWait == 0)) {
            return nDone;  // what went is told; a failure shows at the next send
        }
        if (result.nWait == 0) {
            return FailFromErrno(&entry, result.nErrno != 0 ? result.nErrno : EPIPE);
        }
        if (!bWait) {
            return Fail(WSAEWOULDBLOCK);
        }
        if (entry.m_bClosed) {
            return FailFromErrno(&entry, EPIPE);
        }
        WaitFor(entry, result.nWait, -1);
    }
    return nDone;
}

int FilteredShutdown(CSocketEntry& entry, ISocketFilter& filter, int how) {
    if (how != SD_RECEIVE) {
        const auto deadline = std::chrono::steady_clock::now() + kShutdownWait;
        for (;;) {
            const CFilterResult result = filter.Shutdown();
            if (result.n >= 0) {
                break;
            }
            if (result.nWait == 0) {
                return FailFromErrno(&entry, result.nErrno != 0 ? result.nErrno : EPIPE);
            }
            if (entry.m_bClosed) {
                return Fail(WSAENOTSOCK);  // closed meanwhile, as if before the call
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return Fail(WSAETIMEDOUT);
            }
            WaitFor(entry, result.nWait, kShutdownSliceMs);
        }
    }
    const int nHow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(entry.m_fd, nHow) != 0) {
        return FailFromErrno(&entry, errno);
    }
    return 0;
}

void FilteredCloseNotice(CSocketEntry& entry, ISocketFilter& filter) {
    if (!entry.m_bAbortive && !entry.m_bShutSend.exchange(true)) {
        filter.Shutdown();  // what does not fit now is not waited for: the handle is gone
    }
}

int FilteredAvailable(ISocketFilter& filter, unsigned long* pulAvailable) {
    const CFilterReadState state = filter.ReadState();
    *pulAvailable = static_cast<unsigned long>(state.nAvailable > 0 ? state.nAvailable : 0);
    return 0;
}

int FilteredSelectRead(CSocketEntry& entry, ISocketFilter& filter, int nTimeoutMs) {
    const CFilterReadState state = filter.ReadState();
    if (state.nAvailable > 0 || state.bEnded || state.nErrno != 0) {
        return 1;
    }
    pollfd pfd{entry.m_fd, state.nWait != 0 ? state.nWait : static_cast<short>(POLLIN), 0};
    for (;;) {
        const int n = ::poll(&pfd, 1, nTimeoutMs);
        if (n >= 0) {
            return n > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            return FailFromErrno(&entry, errno);
        }
    }
}

}  // namespace win
