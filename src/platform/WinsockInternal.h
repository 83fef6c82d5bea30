// Shared insides of the socket layer (Winsock.cpp and WinsockEvents.cpp).
#pragma once

#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Handles.h"
#include "platform/SocketFilter.h"
#include "platform/Winsock.h"

namespace win {

class CWsaEvent;

// One open socket. The descriptor is closed when the last reference goes, so it is never
// reused while a call on another thread still uses it.
class CSocketEntry {
public:
    explicit CSocketEntry(int fd) : m_fd(fd) {}
    ~CSocketEntry();
    CSocketEntry(const CSocketEntry&) = delete;
    CSocketEntry& operator=(const CSocketEntry&) = delete;

    const int m_fd;
    std::atomic<bool> m_bClosed{false};    // closesocket has run
    std::atomic<bool> m_bShutSend{false};  // shutdown of the sending side has run
    std::atomic<int> m_nResetError{0};     // a reset seen by a call (WSAECONNRESET)
    std::atomic<bool> m_bAbortive{false};  // SO_LINGER 0: closing resets the connection
    // The peer's orderly end has been seen with nothing queued before it: nothing more can
    // arrive, so nothing is queued from then on.
    std::atomic<bool> m_bEndReached{false};

    // A filter under the handle (SocketFilter.h): owned from its attaching on, published
    // through m_pFilter once, never replaced. m_bNonBlocking is then the mode that callers
    // see, the descriptor itself being non-blocking.
    std::unique_ptr<ISocketFilter> m_filterOwner;
    std::atomic<ISocketFilter*> m_pFilter{nullptr};
    std::atomic<bool> m_bNonBlocking{false};

    // The descriptor's file status flags as this layer set them (-1: not known), so that
    // switching the blocking mode costs one call, and none when it is set already. Nothing
    // else changes a socket's flags behind the layer.
    std::mutex m_flagsMutex;
    int m_nStatusFlags = -1;  // guarded by m_flagsMutex

    // Event selection; guarded by m_mutex (lock order: socket, then event).
    std::mutex m_mutex;
    std::shared_ptr<CWsaEvent> m_pEvent;
    long m_lMask = 0;
    bool m_bReadEnabled = true;     // FD_READ may be recorded (re-armed by recv)
    bool m_bCloseRecorded = false;  // FD_CLOSE has been recorded once
    long m_lPending = 0;            // recorded, not yet enumerated
    int m_nCloseError = 0;
    short m_nFilterWait = POLLIN;  // what the filter's reading side waits for
};

// A WSAEVENT: manual reset; an eventfd is readable while it is set, so that waits can poll
// it together with the sockets selected into it.
class CWsaEvent : public CKernelObject {
public:
    CWsaEvent();
    ~CWsaEvent() override;
    bool IsValid() const { return m_efd >= 0; }
    // Any thread: sets the event and wakes whoever polls its descriptor. With no thread
    // waiting, the flag alone is set: a wait looks at it before it polls.
    void Set();
    // The thread that waits for this event, as it finds the event's cause itself: set
    // without touching the descriptor, as nobody else needs waking (it sees IsSet at once).
    void SetForWaiter();
    void Reset();
    bool IsSet();

    const int m_efd;
    std::mutex m_mutex;  // guards the fields below
    bool m_bSet = false;
    bool m_bFdSet = false;  // the descriptor is readable (written, not read back yet)
    // Threads inside WSAWaitForMultipleEvents for this event; counted before they look at
    // the flag, so that a Set that finds none is seen by their look.
    std::atomic<int> m_nWaiters{0};
    std::vector<std::weak_ptr<CSocketEntry>> m_sockets;
};

CHandleTable<CSocketEntry>& SocketTable();

// The entry of `s`, or null with WSAENOTSOCK set as the last error.
std::shared_ptr<CSocketEntry> FindSocket(SOCKET s);

// Records the network events that the state of `entry` shows now (call with its mutex held)
// and sets its event when anything was recorded. `revents` comes from a poll of the
// descriptor, 0 when there was none. `bByWaiter`: called by the thread that waits for the
// entry's event, which needs no wake-up.
void RecordNetworkEvents(CSocketEntry& entry, short revents, bool bByWaiter = false);

// Sets the last error from errno after a failed socket call and returns SOCKET_ERROR.
int FailFromErrno(CSocketEntry* pEntry, int nErrno);

// The calls of a socket with a filter (WinsockFilter.cpp), as the plain calls answer.
int FilteredRecv(CSocketEntry& entry, ISocketFilter& filter, char* pBuf, int nLen, int nFlags);
int FilteredSend(CSocketEntry& entry, ISocketFilter& filter, const char* pBuf, int nLen,
                 int nFlags);
// SD_SEND and SD_BOTH end the filter's sending direction first, waiting (a bounded time)
// for the peer to make room.
int FilteredShutdown(CSocketEntry& entry, ISocketFilter& filter, int how);
// closesocket of an orderly closing socket: the filter's end goes out if it can at once.
void FilteredCloseNotice(CSocketEntry& entry, ISocketFilter& filter);
// FIONREAD: the clear bytes that a receive gives now.
int FilteredAvailable(ISocketFilter& filter, unsigned long* pulAvailable);
// select for reading: 1 when a receive would not wait, 0 after the time-out.
int FilteredSelectRead(CSocketEntry& entry, ISocketFilter& filter, int nTimeoutMs);

}  // namespace win
