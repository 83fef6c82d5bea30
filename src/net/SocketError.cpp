#include "net/SocketError.h"

CSocketErrorText g_szSocketError;

void CSocketErrorText::Set(std::wstring_view text) {
    std::lock_guard lock(m_mutex);
    m_strText.assign(text.substr(0, kMaxUnits - 1));
}

void CSocketErrorText::Clear() {
    std::lock_guard lock(m_mutex);
    m_strText.clear();
}

std::wstring CSocketErrorText::Get() const {
    std::lock_guard lock(m_mutex);
    return m_strText;
}

bool CSocketErrorText::IsEmpty() const {
    std::lock_guard lock(m_mutex);
    return m_strText.empty();
}
