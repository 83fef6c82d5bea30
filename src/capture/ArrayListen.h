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

    // Accept thread. Creates the session from the vessel's freshly accepted socket (its
    // thread starts at once) and registers it.
    void Add(CSocketAccept& vessel);

    // GUI thread (session destructor). Unregisters the session; an unknown pointer changes
    // nothing.
    void Remove(CSocketAccept* psocketRemove);

    // GUI thread. Asks every registered session to stop, the most recent first. A session
    // whose loop has not started within 1 s raises "ERROR: Wait thread is created
    // timeout\n"; the sessions after it are not asked.
    void CloseAll();

    // Any thread, without the lock (may lag by one).
    long GetCount() const { return m_nCount.load(); }

    // Inside Add (the lock held): the lowest number that no registered session holds, so
    // that two live sessions never share a number.
    long NextSessionNumber();

private:
    std::vector<CSocketAccept*> m_sessions;  // guarded by m_lock
    std::atomic<long> m_nCount{0};
    CLockedText m_lock;
};
