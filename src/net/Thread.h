// One worker thread with a started event.
#pragma once

#include <mutex>

#include "net/MyEvent.h"
#include "platform/Kernel.h"

namespace MY_FUNCTIONS {

class CThread {
public:
    // With bWaitOnDestroy the destructor releases the handle of a thread that has ended.
    explicit CThread(bool bWaitOnDestroy);
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Owner's thread. Waits up to 10 s for the previous thread to end, then starts
    // `pfnRoutine(pParameter)` on a new thread without waiting for it.
    void Start(win::LPTHREAD_START_ROUTINE pfnRoutine, void* pParameter);

    // Any thread but the started one. Waits for the started event; with bReset resets it.
    void WaitStarted(DWORD dwMilliseconds, bool bReset);

    // Any thread. Waits for the thread to end and then releases its handle; 0 at once when
    // there is no thread, WAIT_TIMEOUT (258) while it still runs.
    DWORD WaitForCloseThread(DWORD dwMilliseconds);

    // Any thread, the started thread included (its last step). The thread is not affected.
    void ReleaseHandle();

    // Not possible for a POSIX thread: always raises "TerminateThread failed! ...".
    void Terminate();

    // The started thread: its loop is ready.
    void SetStarted() { m_evStarted.Set(); }
    CMyEvent& GetStartedEvent() { return m_evStarted; }

    HANDLE GetHandle() const;
    DWORD GetThreadId() const;

private:
    mutable std::mutex m_mutex;  // guards the handle and id, which two threads touch
    HANDLE m_hThread = 0;
    DWORD m_dwThreadId = 0;
    CMyEvent m_evStarted;
    bool m_bWaitOnDestroy;
};

}  // namespace MY_FUNCTIONS
