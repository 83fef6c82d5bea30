#include "platform/Kernel.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/FaultInjection.h"
#include "platform/Handles.h"
#include "platform/SystemText.h"
#include "platform/WinError.h"

namespace win {

namespace {

thread_local DWORD t_dwLastError = 0;

// An object that can be waited on: set (signalled) or clear.
class CWaitable : public CKernelObject {
public:
    // Any thread. Waits until set or until the time-out; true when set.
    bool WaitSet(DWORD dwMilliseconds) {
        std::unique_lock lock(m_mutex);
        auto isSet = [this] { return m_bSet; };
        if (dwMilliseconds == INFINITE) {
            m_cv.wait(lock, isSet);
        } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), isSet)) {
            return false;
        }
        if (!m_bManualReset) {
            m_bSet = false;
        }
        return true;
    }

    void SetState(bool bSet) {
        {
            std::lock_guard lock(m_mutex);
            m_bSet = bSet;
        }
        if (bSet) {
            m_cv.notify_all();
        }
    }

protected:
    bool m_bManualReset = true;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSet = false;
};

class CEventObject : public CWaitable {
public:
    explicit CEventObject(bool bManualReset) { m_bManualReset = bManualReset; }
};

// A thread's handle becomes set when its routine has returned.
class CThreadObject : public CWaitable {
public:
    std::atomic<DWORD> m_dwExitCode{259};  // STILL_ACTIVE
};

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_dwThreadId = 0;

// Threads that have finished their routine wait a little for the next one instead of
// ending: every relayed connection starts three threads, and starting a thread costs more
// than the rest of a short connection. An idle thread ends after kIdleTime, so none is left
// over for long.
class CThreadPool {
public:
    using Job = std::function<void()>;

    // Runs `job` on an idle thread or a new one; raises std::system_error when no thread
    // can be started.
    void Run(Job job) {
        {
            std::unique_lock lock(m_mutex);
            if (m_nIdle > m_jobs.size()) {
                m_jobs.push_back(std::move(job));
                // Woken after the lock is let go: a thread woken under it would run only to
                // wait for the lock again, two more thread switches per job. The pool is
                // never destroyed, so the wake-up may come after the job is taken.
                lock.unlock();
                m_cv.notify_one();
                return;
            }
        }
        StartThread(std::move(job));
    }

private:
    // A relay thread needs little stack (its buffers are on the heap): a small one lets a
    // thousand sessions run without reserving gigabytes of address space. Sanitizers make
    // every frame several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr std::size_t kStackSize = 1024 * 1024;
#else
    static constexpr std::size_t kStackSize = 256 * 1024;
#endif

    struct CStart {
        CThreadPool* pPool;
        Job job;
    };

    static void* ThreadMain(void* pArg) {
        std::unique_ptr<CStart> pStart(static_cast<CStart*>(pArg));
        CThreadPool* pPool = pStart->pPool;
        Job job = std::move(pStart->job);
        pStart.reset();
        pPool->Work(std::move(job));
        return nullptr;
    }

    void StartThread(Job job) {
        pthread_attr_t attr;
        int nError = pthread_attr_init(&attr);
        if (nError == 0) {
            pthread_attr_setstacksize(&attr, kStackSize);
            pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            auto pStart = std::make_unique<CStart>(CStart{this, std::move(job)});
            pthread_t thread;
            nError = pthread_create(&thread, &attr, &ThreadMain, pStart.get());
            if (nError == 0) {
                pStart.release();  // the thread owns it now
            }
            pthread_attr_destroy(&attr);
        }
        if (nError != 0) {
            throw std::system_error(nError, std::generic_category(), "pthread_create");
        }
    }

    static constexpr auto kIdleTime = std::chrono::seconds(2);
    static constexpr std::size_t kMaxIdle = 64;

    void Work(Job job) {
        for (;;) {
            job();
            job = nullptr;
            std::unique_lock lock(m_mutex);
            if (m_nIdle >= kMaxIdle) {
                return;
            }
            ++m_nIdle;
            m_cv.wait_for(lock, kIdleTime, [this] { return !m_jobs.empty(); });
            --m_nIdle;
            if (m_jobs.empty()) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Job> m_jobs;   // guarded by m_mutex
    std::size_t m_nIdle = 0;  // guarded by m_mutex
};

std::atomic<void (*)()> g_threadEndHooks[4];

CThreadPool& ThreadPool() {
    static auto* s_pPool = new CThreadPool;  // never destroyed: threads may end late
    return *s_pPool;
}

}  // namespace

DWORD GetLastError() {
    return t_dwLastError;
}
void SetLastError(DWORD dwError) {
    t_dwLastError = dwError;
}

BOOL CloseHandle(HANDLE h) {
    if (KernelHandles().Remove(h) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventW(BOOL bManualReset, BOOL bInitialState) {
    auto p = std::make_shared<CEventObject>(bManualReset != FALSE);
    p->SetState(bInitialState != FALSE);
    return KernelHandles().Insert(std::move(p));
}

BOOL SetEvent(HANDLE hEvent) {
    auto p = FindKernelObject<CEventObject>(hEvent);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    p->SetState(true);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto p = FindKernelObject<CEventObject>(hEvent);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    p->SetState(false);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds) {
    auto p = FindKernelObject<CWaitable>(h);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return p->WaitSet(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE CreateThread(LPTHREAD_START_ROUTINE pfnStart, void* pParameter, DWORD* pdwThreadId) {
    if (pfnStart == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (const int nFault = TakeFault(FaultCall::CreateThread)) {
        SetLastError(nFault == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(nFault));
        return 0;
    }
    auto p = std::make_shared<CThreadObject>();
    const DWORD dwId = g_nextThreadId.fetch_add(1);
    const HANDLE h = KernelHandles().Insert(p);
    try {
        // The thread keeps its own reference: the handle may be closed while it runs. A
        // pooled thread starts each routine as a new thread would: its own id, no error.
        ThreadPool().Run([p, pfnStart, pParameter, dwId] {
            t_dwThreadId = dwId;
            t_dwLastError = 0;
            const DWORD dwExit = pfnStart(pParameter);
            RunThreadEndHooks();
            p->m_dwExitCode = dwExit;
            p->SetState(true);
        });
    } catch (const std::system_error& e) {
        KernelHandles().Remove(h);
        SetLastError(e.code().value() == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_FUNCTION);
        return 0;
    }
    if (pdwThreadId != nullptr) {
        *pdwThreadId = dwId;
    }
    return h;
}

void RunThreadEndHooks() {
    for (const auto& hook : g_threadEndHooks) {
        if (void (*pfn)() = hook.load(std::memory_order_acquire)) {
            pfn();
        }
    }
}

void AddThreadEndHook(void (*pfnHook)()) {
    static std::mutex s_mutex;  // serialises adds; the threads read without it
    std::lock_guard lock(s_mutex);
    for (auto& hook : g_threadEndHooks) {
        void (*pfn)() = hook.load(std::memory_order_relaxed);
        if (pfn == pfnHook) {
            return;
        }
        if (pfn == nullptr) {
            hook.store(pfnHook, std::memory_order_release);
            return;
        }
    }
}

BOOL TerminateThread(HANDLE hThread, DWORD /*dwExitCode*/) {
    SetLastError(FindKernelObject<CThreadObject>(hThread) ? ERROR_NOT_SUPPORTED
                                                          : ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL GetExitCodeThread(HANDLE hThread, DWORD* pdwExitCode) {
    auto p = FindKernelObject<CThreadObject>(hThread);
    if (!p || pdwExitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *pdwExitCode = p->m_dwExitCode;
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (t_dwThreadId == 0) {
        t_dwThreadId = g_nextThreadId.fetch_add(1);
    }
    return t_dwThreadId;
}

void InitializeCriticalSection(CRITICAL_SECTION*) {}
void DeleteCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION* pcs) {
    pcs->mutex.lock();
}
void LeaveCriticalSection(CRITICAL_SECTION* pcs) {
    pcs->mutex.unlock();
}

void GetLocalTime(SYSTEMTIME* pst) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmLocal {};
    localtime_r(&ts.tv_sec, &tmLocal);
    pst->wYear = static_cast<WORD>(tmLocal.tm_year + 1900);
    pst->wMonth = static_cast<WORD>(tmLocal.tm_mon + 1);
    pst->wDayOfWeek = static_cast<WORD>(tmLocal.tm_wday);
    pst->wDay = static_cast<WORD>(tmLocal.tm_mday);
    pst->wHour = static_cast<WORD>(tmLocal.tm_hour);
    pst->wMinute = static_cast<WORD>(tmLocal.tm_min);
    pst->wSecond = static_cast<WORD>(tmLocal.tm_sec);
    pst->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

}  // namespace win
