// A critical section paired with a text: the process's mutual exclusion. Re-entrant for the
// thread that holds it, no time-out.
#pragma once

#include <string>

#include "platform/Kernel.h"

class CLockedText {
public:
    CLockedText();
    ~CLockedText();
    CLockedText(const CLockedText&) = delete;
    CLockedText& operator=(const CLockedText&) = delete;

    // Any thread. Enters the section; a given text is kept as the lock's text.
    void Lock(const wchar_t* pszText = nullptr);
    // The holding thread. Empties the text, then leaves the section.
    void Unlock();

    // The holding thread only.
    const std::wstring& GetText() const { return m_strText; }

private:
    std::wstring m_strText;
    win::CRITICAL_SECTION m_cs;
};
