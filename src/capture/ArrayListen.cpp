#include "capture/ArrayListen.h"

#include <algorithm>

#include "capture/ReplaySessions.h"
#include "capture/SocketAccept.h"
#include "module/MyModule.h"
#include "platform/OpenFileLimit.h"
#include "platform/WinFormat.h"
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
    // A running replay's number is taken too, so that no two sessions' lines share one.
    while (std::binary_search(taken.begin(), taken.end(), nNumber) ||
           ReplaySessions().IsNumberTaken(nNumber)) {
        ++nNumber;
    }
    return nNumber;
}

void CArrayListen::Open() {
    CRegistryLock lock(m_lock);
    m_bClosed = false;
}

CSocketAccept* CArrayListen::Add(CSocketAccept& vessel, bool bRunHere) {
    CSocketAccept* pSession = nullptr;
    long nCount = 0;
    std::uint64_t nLimit = 0;
    bool bRefused = false;
    bool bTell = false;
    {
        CRegistryLock lock(m_lock);
        if (m_bClosed) {
            // Accepted as listening stopped: CloseAll has asked the sessions to stop
            // already and would not ask this one.
            CSocketBlocking::SetResetOnClose(vessel.GetSocket());
            vessel.Close();
            Trace(L"CArrayListen::Add(...) refused: listening has stopped");
            return nullptr;
        }
        nLimit = win::OpenFileLimit();
        if (m_sessions.size() >= win::SessionCapacity(nLimit)) {
            // Refused before the descriptors run out, so that the open sessions keep what
            // they need; a reset tells the client at once instead of leaving it waiting.
            CSocketBlocking::SetResetOnClose(vessel.GetSocket());
            vessel.Close();
            ++m_nRefused;
            bRefused = true;
            bTell = !m_bLimitTold;
            m_bLimitTold = true;
            nCount = static_cast<long>(m_sessions.size());
        } else {
            pSession = new CSocketAccept(vessel, *this, !bRunHere);
            m_sessions.push_back(pSession);
            nCount = static_cast<long>(m_sessions.size());
            m_nCount = nCount;
        }
    }
    if (bTell) {
        const std::wstring strText = win::FormatW(
            L"Session limit reached: %ld sessions are open, as many as the limit of %s open "
            L"files allows (%d descriptors each). New clients are refused until sessions end.",
            nCount, std::to_wstring(nLimit), static_cast<int>(win::kDescriptorsPerSession));
        Trace(L"%s", strText);
        {
            CModuleLock moduleLock;
            g_Module.AppendLog(L"\r\n" + strText, LOG_STYLE_BOLD);
            g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
        }
        g_Module.SetStatusText(strText, STATUS_PANE_TEXT);
    }
    if (bRefused) {
        return nullptr;
    }
    Trace(L"CArrayListen::Add(...) Listen count = %ld", nCount);
    return pSession;
}

void CArrayListen::Remove(CSocketAccept* psocketRemove) {
    CRegistryLock lock(m_lock);
    auto it = std::find(m_sessions.begin(), m_sessions.end(), psocketRemove);
    if (it == m_sessions.end()) {
        return;
    }
    m_sessions.erase(it);
    m_nCount = static_cast<long>(m_sessions.size());
    if (m_bLimitTold && m_sessions.size() < win::SessionCapacity(win::OpenFileLimit())) {
        // Room again: a later refusal is told again.
        m_bLimitTold = false;
        Trace(L"Sessions are accepted again; %ld clients were refused.",
              m_nRefused.load() - m_nRefusedBefore);
        m_nRefusedBefore = m_nRefused.load();
    }
    Trace(L"CArrayListen::Remove(psocketRemove = 0x%x)0. Listen count = %ld",
          reinterpret_cast<std::uintptr_t>(psocketRemove), m_nCount.load());
}

void CArrayListen::CloseAll() {
    CRegistryLock lock(m_lock);
    m_bClosed = true;
    for (std::size_t i = m_sessions.size(); i-- > 0;) {
        m_sessions[i]->StopSession();
    }
}
