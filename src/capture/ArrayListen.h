// The registry of the live capture sessions of one listener. It creates each session,
// gives it its number and asks every session to stop when listening stops. It does not
// own the sessions: each removes itself when it is deleted.
#pragma once

#include <atomic>
#include <vector>

#include "net/LockedText.h"

class CSocketAccept;

class CArrayListen {
public:
    CArrayListen() = default;
    CArrayListen(const CArrayListen&) = delete;
    CArrayListen& operator=(const CArrayListen&) = delete;

    // GUI thread, as listening starts: sessions are taken again after a CloseAll.
    void Open();

    // Accept thread. Creates the session from the vessel's freshly accepted socket and
    // registers it. With `bRunHere` the caller runs the session's thread itself
    // (CSocketBlocking::RunThreadHere, after this returns); else it starts at once. When as
    // many sessions are open as the limit of open files leaves room for, the connection is
    // refused instead (reset), and the first refusal says so in the log and the status
    // line; the open sessions go on. A connection accepted while listening stops (after
    // CloseAll) is refused too, so that no session starts that nobody will stop. The new
    // session, or null when the connection was refused.
    CSocketAccept* Add(CSocketAccept& vessel, bool bRunHere = false);

    // GUI thread (session destructor). Unregisters the session; an unknown pointer changes
    // nothing.
    void Remove(CSocketAccept* psocketRemove);

    // GUI thread. Asks every registered session to stop, the most recent first, and
    // refuses new ones until Open. A session
    // whose loop has not started within 1 s raises "ERROR: Wait thread is created
    // timeout\n"; the sessions after it are not asked.
    void CloseAll();

    // Any thread, without the lock (may lag by one).
    long GetCount() const { return m_nCount.load(); }

    // Any thread. Connections refused since listening started for want of room.
    long GetRefusedCount() const { return m_nRefused.load(); }

    // Inside Add (the lock held): the lowest number that no registered session holds, so
    // that two live sessions never share a number.
    long NextSessionNumber();

private:
    std::vector<CSocketAccept*> m_sessions;  // guarded by m_lock
    std::atomic<long> m_nCount{0};
    std::atomic<long> m_nRefused{0};
    long m_nRefusedBefore = 0;  // guarded by m_lock: refusals told before this stretch
    bool m_bLimitTold = false;  // guarded by m_lock: the limit was reached and said so
    bool m_bClosed = false;     // guarded by m_lock: CloseAll ran, Open not since
    CLockedText m_lock;
};
