#include "net/LockedText.h"

CLockedText::CLockedText() {
    win::InitializeCriticalSection(&m_cs);
}

CLockedText::~CLockedText() {
    win::DeleteCriticalSection(&m_cs);
}

void CLockedText::Lock(const wchar_t* pszText) {
    win::EnterCriticalSection(&m_cs);
    if (pszText != nullptr) {
        m_strText = pszText;
    }
}

void CLockedText::Unlock() {
    // The text belongs to the holder: empty it while the section is still held.
    m_strText.clear();
    win::LeaveCriticalSection(&m_cs);
}
