// The event model of the socket layer: WSAEVENTs over eventfd, network events sampled with
// poll.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/FaultInjection.h"
#include "platform/Kernel.h"
#include "platform/SystemText.h"
#include "platform/WinsockInternal.h"

namespace win {

namespace {

int Fail(int nError) {
    SetLastError(static_cast<DWORD>(nError));
    return SOCKET_ERROR;
}

std::shared_ptr<CWsaEvent> FindEvent(WSAEVENT hEvent) {
    return FindKernelObject<CWsaEvent>(hEvent);
}

}  // namespace

CWsaEvent::CWsaEvent() : m_efd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CWsaEvent::~CWsaEvent() {
    if (m_efd >= 0) {
        ::close(m_efd);
    }
}

void CWsaEvent::Set() {
    std::lock_guard lock(m_mutex);
    m_bSet = true;
    if (!m_bFdSet && m_nWaiters.load() > 0) {
        m_bFdSet = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_efd, &one, sizeof(one));
    }
}

void CWsaEvent::SetForWaiter() {
    std::lock_guard lock(m_mutex);
    m_bSet = true;
}

void CWsaEvent::Reset() {
    std::lock_guard lock(m_mutex);
    m_bSet = false;
    if (m_bFdSet) {
        m_bFdSet = false;
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_efd, &value, sizeof(value));
    }
}

bool CWsaEvent::IsSet() {
    std::lock_guard lock(m_mutex);
    return m_bSet;
}

namespace {

// The events of a socket with a filter come from what the filter can give, not from the
// descriptor: bytes it holds read as FD_READ even when the descriptor has nothing, and the
// stream's end (close_notify, FIN or a reset under it) as FD_CLOSE once the bytes before
// it have been received. Returns the events newly recorded.
long RecordFilteredEvents(CSocketEntry& entry, ISocketFilter& filter) {
    const CFilterReadState state = filter.ReadState();
    const bool bEnded = state.bEnded || state.nErrno != 0;
    // Nothing to wait for from the descriptor while bytes wait for a receive or the end has
    // come; otherwise what the filter's reading side needs (a key update may need to write).
    entry.m_nFilterWait = state.nAvailable > 0 || bEnded
                              ? static_cast<short>(0)
                              : (state.nWait != 0 ? state.nWait : static_cast<short>(POLLIN));
    long lNew = 0;
    if ((entry.m_lMask & FD_READ) && entry.m_bReadEnabled && state.nAvailable > 0) {
        lNew |= FD_READ;
        entry.m_bReadEnabled = false;
    }
    if (bEnded && !entry.m_bCloseRecorded) {
        if (entry.m_lMask & FD_CLOSE) {
            entry.m_nCloseError = state.nErrno != 0 ? WsaErrorFromErrno(state.nErrno) : 0;
            entry.m_bCloseRecorded = true;
            lNew |= FD_CLOSE;
        } else {
            entry.m_bReadEnabled = false;
        }
    }
    return lNew;
}

}  // namespace

void RecordNetworkEvents(CSocketEntry& entry, short revents, bool bByWaiter) {
    if (!entry.m_pEvent || entry.m_lMask == 0 || entry.m_bClosed) {
        return;
    }
    if (ISocketFilter* pFilter = entry.m_pFilter.load(std::memory_order_acquire)) {
        if (const long lNew = RecordFilteredEvents(entry, *pFilter); lNew != 0) {
            entry.m_lPending |= lNew;
            if (bByWaiter) {
                entry.m_pEvent->SetForWaiter();
            } else {
                entry.m_pEvent->Set();
            }
        }
        return;
    }
    if (revents == 0) {
        pollfd pfd{entry.m_fd, POLLIN | POLLRDHUP, 0};
        if (::poll(&pfd, 1, 0) > 0) {
            revents = pfd.revents;
        }
    }
    if (revents == 0) {
        return;  // nothing to read, no end of the stream: nothing to record
    }
    int nQueued = 0;
    if (revents == POLLIN) {
        nQueued = 1;  // readable without the end of the stream: there is data
    } else if (::ioctl(entry.m_fd, FIONREAD, &nQueued) != 0) {
        nQueued = 0;
    }

    long lNew = 0;
    if ((entry.m_lMask & FD_READ) && entry.m_bReadEnabled && nQueued > 0) {
        lNew |= FD_READ;
        entry.m_bReadEnabled = false;  // until the next recv, as Winsock does
    }
    const bool bEndOfStream = (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0 ||
                              ((revents & POLLIN) != 0 && nQueued == 0);
    if (bEndOfStream && !entry.m_bCloseRecorded) {
        if (entry.m_lMask & FD_CLOSE) {
            int nSoError = 0;
            if ((revents & POLLERR) != 0) {
                // A pending socket error always shows as POLLERR: without it there is none.
                socklen_t len = sizeof(nSoError);
                ::getsockopt(entry.m_fd, SOL_SOCKET, SO_ERROR, &nSoError, &len);
            }
            int nError = entry.m_nResetError;
            if (nSoError != 0) {
                nError = WsaErrorFromErrno(nSoError);
            } else if (nError == 0 && (revents & POLLERR) != 0) {
                nError = WSAECONNRESET;
            }
            if (nError == 0 && nQueued == 0) {
                entry.m_bEndReached = true;
            }
            entry.m_nCloseError = nError;
            entry.m_bCloseRecorded = true;
            lNew |= FD_CLOSE;
        } else if (nQueued == 0) {
            entry.m_bReadEnabled = false;  // nothing more will come to read
        }
    }
    if (lNew != 0) {
        entry.m_lPending |= lNew;
        if (bByWaiter) {
            entry.m_pEvent->SetForWaiter();
        } else {
            entry.m_pEvent->Set();
        }
    }
}

WSAEVENT WSACreateEvent() {
    const int nFault = TakeFault(FaultCall::CreateEvent);
    auto p = nFault == 0 ? std::make_shared<CWsaEvent>() : nullptr;
    if (!p || !p->IsValid()) {
        // Out of descriptors is told as such, not as a lack of memory.
        const int nErrno = nFault != 0 ? nFault : errno;
        SetLastError(nErrno == EMFILE || nErrno == ENFILE ? static_cast<DWORD>(WSAEMFILE)
                                                          : WSA_NOT_ENOUGH_MEMORY);
        return WSA_INVALID_EVENT;
    }
    return KernelHandles().Insert(std::move(p));
}

BOOL WSACloseEvent(WSAEVENT hEvent) {
    if (!FindEvent(hEvent) || !KernelHandles().Remove(hEvent)) {
        SetLastError(WSA_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WSASetEvent(WSAEVENT hEvent) {
    auto p = FindEvent(hEvent);
    if (!p) {
        SetLastError(WSA_INVALID_HANDLE);
        return FALSE;
    }
    p->Set();
    return TRUE;
}

BOOL WSAResetEvent(WSAEVENT hEvent) {
    auto p = FindEvent(hEvent);
    if (!p) {
        SetLastError(WSA_INVALID_HANDLE);
        return FALSE;
    }
    p->Reset();
    return TRUE;
}

int WSAEventSelect(SOCKET s, WSAEVENT hEvent, long lNetworkEvents) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<CWsaEvent> pEvent;
    if (hEvent != WSA_INVALID_EVENT) {
        pEvent = FindEvent(hEvent);
        if (!pEvent) {
            return Fail(WSA_INVALID_HANDLE);
        }
    }
    unsigned long ulOn = 1;
    if (ioctlsocket(s, FIONBIO_, &ulOn) != 0) {
        return SOCKET_ERROR;
    }
    std::lock_guard lock(p->m_mutex);
    if (p->m_pEvent) {
        std::lock_guard lockEvent(p->m_pEvent->m_mutex);
        auto& v = p->m_pEvent->m_sockets;
        v.erase(std::remove_if(v.begin(), v.end(),
                               [&](const std::weak_ptr<CSocketEntry>& w) {
                                   auto q = w.lock();
                                   return !q || q == p;
                               }),
                v.end());
    }
    p->m_pEvent = lNetworkEvents != 0 ? pEvent : nullptr;
    p->m_lMask = p->m_pEvent ? lNetworkEvents : 0;
    p->m_lPending = 0;
    p->m_bReadEnabled = true;
    // Selecting again starts afresh: an end of the stream that is there already is
    // recorded again, for the new event's waiter, who has not seen it.
    p->m_bCloseRecorded = false;
    if (p->m_pEvent) {
        {
            std::lock_guard lockEvent(p->m_pEvent->m_mutex);
            p->m_pEvent->m_sockets.push_back(p);
        }
        RecordNetworkEvents(*p, 0);  // data or a close that is already there shows at once
    }
    return 0;
}

DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* phEvents, BOOL fWaitAll,
                               DWORD dwTimeout, BOOL /*fAlertable*/) {
    if (cEvents == 0 || cEvents > WSA_MAXIMUM_WAIT_EVENTS || phEvents == nullptr || fWaitAll) {
        SetLastError(WSA_INVALID_PARAMETER);
        return WSA_WAIT_FAILED;
    }
    std::vector<std::shared_ptr<CWsaEvent>> events;
    for (DWORD i = 0; i < cEvents; ++i) {
        auto p = FindEvent(phEvents[i]);
        if (!p) {
            SetLastError(WSA_INVALID_HANDLE);
            return WSA_WAIT_FAILED;
        }
        events.push_back(std::move(p));
    }

    // Counted as a waiter from before the first look at the flags to the return.
    struct CWaiting {
        std::vector<std::shared_ptr<CWsaEvent>>& events;
        explicit CWaiting(std::vector<std::shared_ptr<CWsaEvent>>& e) : events(e) {
            for (const auto& pEvent : events) {
                ++pEvent->m_nWaiters;
            }
        }
        ~CWaiting() {
            for (const auto& pEvent : events) {
                --pEvent->m_nWaiters;
            }
        }
        CWaiting(const CWaiting&) = delete;
        CWaiting& operator=(const CWaiting&) = delete;
    } waiting(events);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(dwTimeout);
    std::vector<pollfd> pollfds;
    std::vector<std::shared_ptr<CSocketEntry>> sockets;  // kept open while polled
    for (;;) {
        pollfds.clear();
        sockets.clear();
        for (const auto& pEvent : events) {
            pollfds.push_back({pEvent->m_efd, POLLIN, 0});
            std::vector<std::weak_ptr<CSocketEntry>> selected;
            {
                std::lock_guard lock(pEvent->m_mutex);
                selected = pEvent->m_sockets;
            }
            for (const auto& w : selected) {
                auto pSocket = w.lock();
                if (!pSocket) {
                    continue;
                }
                // The events set here are this thread's own, which it looks at next: set
                // without a wake-up through the descriptor.
                if (pSocket->m_bClosed) {
                    pEvent->SetForWaiter();  // closed under the waiter
                    continue;
                }
                std::lock_guard lock(pSocket->m_mutex);
                if (pSocket->m_pEvent != pEvent) {
                    continue;
                }
                if (pSocket->m_lPending != 0) {
                    pEvent->SetForWaiter();
                    continue;
                }
                if (pSocket->m_pFilter.load(std::memory_order_acquire) != nullptr) {
                    // What the filter holds shows without the descriptor; the descriptor
                    // is watched only for what the filter needs from it.
                    const bool bWanted =
                        ((pSocket->m_lMask & FD_READ) && pSocket->m_bReadEnabled) ||
                        ((pSocket->m_lMask & FD_CLOSE) && !pSocket->m_bCloseRecorded);
                    if (bWanted) {
                        RecordNetworkEvents(*pSocket, 0, true);
                    }
                    if (bWanted && pSocket->m_lPending == 0 && pSocket->m_nFilterWait != 0) {
                        pollfds.push_back({pSocket->m_fd, pSocket->m_nFilterWait, 0});
                        sockets.push_back(pSocket);
                    }
                    continue;
                }
                short nWatch = 0;
                if ((pSocket->m_lMask & FD_READ) && pSocket->m_bReadEnabled) {
                    nWatch |= POLLIN;
                }
                if ((pSocket->m_lMask & FD_CLOSE) && !pSocket->m_bCloseRecorded) {
                    nWatch |= POLLRDHUP;
                }
                if (pSocket->m_bCloseRecorded) {
                    // Nothing more arrives after the close: only queued data is left.
                    RecordNetworkEvents(*pSocket, 0, true);
                    continue;
                }
                if (nWatch != 0) {
                    pollfds.push_back({pSocket->m_fd, nWatch, 0});
                    sockets.push_back(pSocket);
                }
            }
        }
        for (DWORD i = 0; i < cEvents; ++i) {
            if (events[i]->IsSet()) {
                return WSA_WAIT_EVENT_0 + i;
            }
        }

        int nTimeout = -1;
        if (dwTimeout != WSA_INFINITE) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return WSA_WAIT_TIMEOUT;
            }
            nTimeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        if (const int nFault =
                TakeFault(FaultCall::Poll, sockets.empty() ? -1 : sockets.front()->m_fd)) {
            SetLastError(static_cast<DWORD>(WsaErrorFromErrno(nFault)));
            return WSA_WAIT_FAILED;
        }
        const int n = ::poll(pollfds.data(), pollfds.size(), nTimeout);
        if (n < 0 && errno != EINTR) {
            SetLastError(static_cast<DWORD>(WsaErrorFromErrno(errno)));
            return WSA_WAIT_FAILED;
        }
        for (std::size_t i = 0; n > 0 && i < sockets.size(); ++i) {
            const short revents = pollfds[cEvents + i].revents;
            if (revents != 0) {
                std::lock_guard lock(sockets[i]->m_mutex);
                // This thread looks at its events next: no need to wake it through the
                // descriptor, unless the socket has moved to an event it does not wait for.
                const bool bOurs = std::any_of(events.begin(), events.end(), [&](const auto& e) {
                    return e == sockets[i]->m_pEvent;
                });
                RecordNetworkEvents(*sockets[i], revents, bOurs);
            }
        }
    }
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT hEvent, WSANETWORKEVENTS* pEvents) {
    auto p = FindSocket(s);
    if (!p) {
        return SOCKET_ERROR;
    }
    if (pEvents == nullptr) {
        return Fail(WSAEFAULT);
    }
    std::shared_ptr<CWsaEvent> pEvent;
    if (hEvent != WSA_INVALID_EVENT) {
        pEvent = FindEvent(hEvent);
        if (!pEvent) {
            return Fail(WSA_INVALID_HANDLE);
        }
    }
    *pEvents = WSANETWORKEVENTS{};
    std::lock_guard lock(p->m_mutex);
    if (p->m_lPending == 0) {
        // What a wait has recorded is reported as it is; anything newer shows at the next
        // wait, which polls the socket again.
        RecordNetworkEvents(*p, 0, pEvent != nullptr && pEvent == p->m_pEvent);
    }
    pEvents->lNetworkEvents = p->m_lPending;
    if (p->m_lPending & FD_CLOSE) {
        pEvents->iErrorCode[FD_CLOSE_BIT] = p->m_nCloseError;
    }
    p->m_lPending = 0;
    if (pEvent) {
        pEvent->Reset();
    }
    return 0;
}

}  // namespace win
