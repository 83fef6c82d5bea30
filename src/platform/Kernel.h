// Kernel objects on POSIX threads: last error, handles, events, threads, critical
// sections, interlocked counters and local time.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/WinTypes.h"

namespace win {

// The calling thread's last error (Win32 and Winsock codes share it, as on Windows).
DWORD GetLastError();
void SetLastError(DWORD dwError);

// Any thread. Closes a kernel handle; 0 with ERROR_INVALID_HANDLE when it is not open. The
// object itself lives on while another thread still waits on it.
BOOL CloseHandle(HANDLE h);

// Events. Manual or automatic reset; 0 on failure.
HANDLE CreateEventW(BOOL bManualReset, BOOL bInitialState);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// Waits for an event to be set or a thread to end, up to `dwMilliseconds` (INFINITE for no
// limit). WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds);

// Threads. The routine runs at once on a new detached thread; the handle becomes set when
// the routine has returned. 0 on failure, with the last error set.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* pParameter);
HANDLE CreateThread(LPTHREAD_START_ROUTINE pfnStart, void* pParameter, DWORD* pdwThreadId);

// Any thread. A step that every thread started by CreateThread takes after its routine
// returns, before its handle is set: a library frees there what it keeps per thread, since
// a pooled thread outlives its routine (and may outlive the clean-up at exit). Adding the
// same hook again does nothing; at most four.
void AddThreadEndHook(void (*pfnHook)());
// The calling thread: takes those steps now, as a thread that runs one routine after
// another itself does after each (they are taken again at its end).
void RunThreadEndHooks();

// Forcible termination is not possible for a POSIX thread: always fails with
// ERROR_NOT_SUPPORTED.
BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);

// Exit code of an ended thread (STILL_ACTIVE 259 while it runs).
BOOL GetExitCodeThread(HANDLE hThread, DWORD* pdwExitCode);

DWORD GetCurrentThreadId();

// Critical section: a lock that its owner may take again (re-entrant), without time-out.
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* pcs);
void DeleteCriticalSection(CRITICAL_SECTION* pcs);
void EnterCriticalSection(CRITICAL_SECTION* pcs);
void LeaveCriticalSection(CRITICAL_SECTION* pcs);

// Interlocked counters: return the new value.
inline LONG InterlockedIncrement(std::atomic<LONG>* p) {
    return p->fetch_add(1) + 1;
}
inline LONG InterlockedDecrement(std::atomic<LONG>* p) {
    return p->fetch_sub(1) - 1;
}

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
void GetLocalTime(SYSTEMTIME* pst);

}  // namespace win
