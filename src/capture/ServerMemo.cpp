#include "capture/ServerMemo.h"

bool CServerMemo::Claim(const std::wstring& strHost, int nLocalPort, int nRemotePort) {
    std::lock_guard lock(m_mutex);
    if (m_remembered.size() >= kMaxEntries) {
        m_remembered.clear();
    }
    return m_remembered.emplace(strHost, nLocalPort, nRemotePort).second;
}

void CServerMemo::Unclaim(const std::wstring& strHost, int nLocalPort, int nRemotePort) {
    std::lock_guard lock(m_mutex);
    m_remembered.erase(std::make_tuple(strHost, nLocalPort, nRemotePort));
}

void CServerMemo::Forget() {
    std::lock_guard lock(m_mutex);
    m_remembered.clear();
}

CServerMemo& ServerMemo() {
    static CServerMemo s_memo;
    return s_memo;
}
