#include "net/Thread.h"

#include "platform/WinError.h"
#include "support/Exception.h"
#include "support/SystemErrorText.h"

namespace MY_FUNCTIONS {

CThread::CThread(bool bWaitOnDestroy) : m_evStarted(false), m_bWaitOnDestroy(bWaitOnDestroy) {
    m_evStarted.Reset();
}

CThread::~CThread() {
    if (m_bWaitOnDestroy) {
        WaitForCloseThread(0);
    }
}

void CThread::Start(win::LPTHREAD_START_ROUTINE pfnRoutine, void* pParameter) {
    if (WaitForCloseThread(10000) == WAIT_TIMEOUT) {
        throw new CException(L"ERROR: CThread::WaitForCloseThread(...) timeout\n");
    }
    DWORD dwId = 0;
    std::lock_guard lock(m_mutex);
    const HANDLE h = win::CreateThread(pfnRoutine, pParameter, &dwId);
    if (h == 0) {
        throw new CException(L"CreateThread failed! " + GetLastErrorText());
    }
    m_hThread = h;
    m_dwThreadId = dwId;
}

void CThread::WaitStarted(DWORD dwMilliseconds, bool bReset) {
    if (m_evStarted.Wait(dwMilliseconds) == WAIT_TIMEOUT) {
        throw new CException(L"ERROR: Wait thread is created timeout\n");
    }
    if (bReset) {
        m_evStarted.Reset();
    }
}

DWORD CThread::WaitForCloseThread(DWORD dwMilliseconds) {
    const HANDLE h = GetHandle();
    if (h == 0) {
        return WAIT_OBJECT_0;
    }
    DWORD dwResult = win::WaitForSingleObject(h, dwMilliseconds);
    std::lock_guard lock(m_mutex);
    if (dwResult == WAIT_FAILED && m_hThread != h) {
        // The thread released its own handle while we were about to wait: it has ended.
        dwResult = WAIT_OBJECT_0;
    }
    if (dwResult == WAIT_OBJECT_0 && m_hThread == h) {
        win::CloseHandle(m_hThread);
        m_hThread = 0;
        m_dwThreadId = 0;
    }
    return dwResult;
}

void CThread::ReleaseHandle() {
    std::lock_guard lock(m_mutex);
    if (m_hThread != 0) {
        win::CloseHandle(m_hThread);
    }
    m_hThread = 0;
    m_dwThreadId = 0;
}

void CThread::Terminate() {
    if (!win::TerminateThread(GetHandle(), 0)) {
        throw new CException(L"TerminateThread failed! " + GetLastErrorText());
    }
    WaitForCloseThread(INFINITE);
}

HANDLE CThread::GetHandle() const {
    std::lock_guard lock(m_mutex);
    return m_hThread;
}

DWORD CThread::GetThreadId() const {
    std::lock_guard lock(m_mutex);
    return m_dwThreadId;
}

}  // namespace MY_FUNCTIONS
