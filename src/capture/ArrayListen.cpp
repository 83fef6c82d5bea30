#include "capture/ArrayListen.h"

#include <algorithm>

#include "capture/SocketAccept.h"
#include "support/Trace.h"

namespace {

// Holds the registry lock for a scope, releasing it on every exit.
class CRegistryLock {
public:
    explicit CRegistryLock(CLockedText& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CRegistryLock() { m_lock.Unlock(); }
    CRegistryLock(const CRegistryLock&) = delete;
    CRegistryLock& operator=(const CRegistryLock&) = delete;

private:
    CLockedText& m_lock;
};

}  // namespace

long CArrayListen::NextSessionNumber() {
    CRegistryLock lock(m_lock);
    std::vector<long> taken;
    taken.reserve(m_sessions.size());
    for (const CSocketAccept* p : m_sessions) {
        taken.push_back(p->GetSession());
    }
    std::sort(taken.begin(), taken.end());
    long nNumber = 0;
    for (long n : taken) {
        if (n == nNumber) {
            ++nNumber;
        } else if (n > nNumber) {
            break;
        }
    }
    return nNumber;
}

void CArrayListen::Add(CSocketAccept& vessel) {
    long nCount = 0;
    {
        CRegistryLock lock(m_lock);
        auto* pSession = new CSocketAccept(vessel, *this);
        m_sessions.push_back(pSession);
        nCount = static_cast<long>(m_sessions.size());
        m_nCount = nCount;
    }
    Trace(L"CArrayListen::Add(...) Listen count = %ld", nCount);
}

void CArrayListen::Remove(CSocketAccept* psocketRemove) {
    CRegistryLock lock(m_lock);
    auto it = std::find(m_sessions.begin(), m_sessions.end(), psocketRemove);
    if (it == m_sessions.end()) {
        return;
    }
    m_sessions.erase(it);
    m_nCount = static_cast<long>(m_sessions.size());
    Trace(L"CArrayListen::Remove(psocketRemove = 0x%x)0. Listen count = %ld",
          reinterpret_cast<std::uintptr_t>(psocketRemove), m_nCount.load());
}

void CArrayListen::CloseAll() {
    CRegistryLock lock(m_lock);
    for (std::size_t i = m_sessions.size(); i-- > 0;) {
        m_sessions[i]->StopSession();
    }
}
