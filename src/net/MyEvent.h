// A manual-reset event.
#pragma once

#include "platform/WinTypes.h"

class CMyEvent {
public:
    // Creates the event, then sets or resets it as asked. A failed creation shows as the
    // exception of that first Set or Reset.
    explicit CMyEvent(bool bInitialState = false);
    virtual ~CMyEvent();
    CMyEvent(const CMyEvent&) = delete;
    CMyEvent& operator=(const CMyEvent&) = delete;

    // Any thread. Raise "SetEvent(0x%x) failed! %s" / "ResetEvent(0x%x) failed! %s".
    void Set();
    void Reset();
    // Any thread. WAIT_OBJECT_0 when set, WAIT_TIMEOUT after `dwMilliseconds`.
    DWORD Wait(DWORD dwMilliseconds);

    HANDLE GetHandle() const { return m_hEvent; }

private:
    HANDLE m_hEvent;
};
