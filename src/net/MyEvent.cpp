#include "net/MyEvent.h"

#include "platform/Kernel.h"
#include "support/Exception.h"
#include "support/SystemErrorText.h"

CMyEvent::CMyEvent(bool bInitialState) : m_hEvent(win::CreateEventW(TRUE, TRUE)) {
    if (bInitialState) {
        Set();
    } else {
        Reset();
    }
}

CMyEvent::~CMyEvent() {
    if (m_hEvent != 0) {
        win::CloseHandle(m_hEvent);
        m_hEvent = 0;
    }
}

void CMyEvent::Set() {
    if (!win::SetEvent(m_hEvent)) {
        throw CException::Format(L"SetEvent(0x%x) failed! %s", m_hEvent, GetLastErrorText());
    }
}

void CMyEvent::Reset() {
    if (!win::ResetEvent(m_hEvent)) {
        throw CException::Format(L"ResetEvent(0x%x) failed! %s", m_hEvent, GetLastErrorText());
    }
}

DWORD CMyEvent::Wait(DWORD dwMilliseconds) {
    return win::WaitForSingleObject(m_hEvent, dwMilliseconds);
}
