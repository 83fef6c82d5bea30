#include "net/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/LockedText.h"
#include "net/MyEvent.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/WinError.h"
#include "support/Exception.h"

namespace {

using MY_FUNCTIONS::CThread;
using Clock = std::chrono::steady_clock;

// Long enough for any step that should happen at once, even on a loaded machine.
constexpr DWORD kPatience = 2000;

long long MillisecondsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Runs `f`, which must raise a CException; returns its text (empty, with a failure, if
// nothing was raised).
template <class F>
std::wstring RaisedText(F f) {
    try {
        f();
    } catch (CException* e) {
        std::wstring text = e->GetText();
        delete e;
        return text;
    }
    ADD_FAILURE() << "no CException was raised";
    return {};
}

// What a started routine works with. It must outlive the routine.
struct CWork {
    CThread* pThread = nullptr;
    CMyEvent evGo{false};        // the routine waits for it before it ends
    CMyEvent evReleased{false};  // set by ReleaseLast after it released the handle
    std::atomic<int> nRuns{0};
    std::atomic<bool> bDone{false};
};

constexpr DWORD kGoExitCode = 5;

DWORD WaitForGo(void* p) {
    auto* w = static_cast<CWork*>(p);
    ++w->nRuns;
    w->evGo.Wait(INFINITE);
    w->bDone = true;
    return kGoExitCode;
}

DWORD SignalStartedThenWaitForGo(void* p) {
    auto* w = static_cast<CWork*>(p);
    w->pThread->SetStarted();
    return WaitForGo(p);
}

DWORD Quick(void* p) {
    auto* w = static_cast<CWork*>(p);
    ++w->nRuns;
    w->bDone = true;
    return 7;
}

// The routine's last step releases its own handle.
DWORD ReleaseLast(void* p) {
    auto* w = static_cast<CWork*>(p);
    w->evGo.Wait(INFINITE);
    w->pThread->ReleaseHandle();
    w->evReleased.Set();
    return 0;
}

bool IsOpen(HANDLE h) {
    return win::WaitForSingleObject(h, 0) != WAIT_FAILED;
}

TEST(CThread, WaitForCloseWithoutThreadReturnsAtOnce) {
    CThread t(true);
    const auto t0 = Clock::now();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
    EXPECT_LT(MillisecondsSince(t0), kPatience / 2);
    EXPECT_EQ(t.GetHandle(), 0u);
}

TEST(CThread, WaitForCloseKeepsTheHandleWhileRunningAndReleasesItAtTheEnd) {
    CWork w;
    CThread t(true);
    t.Start(WaitForGo, &w);
    const HANDLE h = t.GetHandle();
    ASSERT_NE(h, 0u);
    EXPECT_NE(t.GetThreadId(), 0u);

    EXPECT_EQ(t.WaitForCloseThread(0), WAIT_TIMEOUT);
    EXPECT_EQ(t.WaitForCloseThread(20), WAIT_TIMEOUT);
    EXPECT_EQ(t.GetHandle(), h);
    EXPECT_TRUE(IsOpen(h));

    w.evGo.Set();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
    EXPECT_TRUE(w.bDone);
    EXPECT_EQ(t.GetHandle(), 0u);
    EXPECT_EQ(t.GetThreadId(), 0u);
    EXPECT_FALSE(IsOpen(h));
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CThread, ThreadThatReleasesItsOwnHandleCountsAsClosed) {
    CWork w;
    CThread t(true);
    w.pThread = &t;
    t.Start(ReleaseLast, &w);
    const HANDLE h = t.GetHandle();
    w.evGo.Set();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(t.GetHandle(), 0u);
    // After this the routine touches nothing of the test any more.
    ASSERT_EQ(w.evReleased.Wait(kPatience), WAIT_OBJECT_0);
    EXPECT_FALSE(IsOpen(h));
}

TEST(CThread, StartAfterTheThreadEndedReleasesTheOldHandle) {
    CWork w;
    CThread t(true);
    t.Start(Quick, &w);
    const HANDLE hFirst = t.GetHandle();
    ASSERT_EQ(win::WaitForSingleObject(hFirst, kPatience), WAIT_OBJECT_0);

    t.Start(Quick, &w);
    const HANDLE hSecond = t.GetHandle();
    EXPECT_NE(hSecond, 0u);
    EXPECT_NE(hSecond, hFirst);
    EXPECT_FALSE(IsOpen(hFirst));
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(w.nRuns, 2);
}

TEST(CThread, StartWhileThePreviousThreadRunsRaisesAndStartsNothing) {
    // Start waits its full 10 s for the previous thread before it gives up.
    CWork w;
    CWork other;
    CThread t(true);
    t.Start(WaitForGo, &w);
    const HANDLE h = t.GetHandle();
    const std::size_t nHandles = win::KernelHandles().Count();

    EXPECT_EQ(RaisedText([&] { t.Start(Quick, &other); }),
              L"ERROR: CThread::WaitForCloseThread(...) timeout\n");
    EXPECT_EQ(t.GetHandle(), h);
    EXPECT_EQ(win::KernelHandles().Count(), nHandles);

    w.evGo.Set();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(other.nRuns, 0);
}

TEST(CThread, WaitStartedSeesTheEventAndResetsIt) {
    CWork w;
    CThread t(true);
    w.pThread = &t;
    t.Start(SignalStartedThenWaitForGo, &w);
    ASSERT_EQ(t.GetStartedEvent().Wait(kPatience), WAIT_OBJECT_0);

    // The event is set already: no waiting is needed, and without reset it stays set.
    EXPECT_NO_THROW(t.WaitStarted(0, false));
    EXPECT_NO_THROW(t.WaitStarted(0, true));

    const auto t0 = Clock::now();
    EXPECT_EQ(RaisedText([&] { t.WaitStarted(50, true); }),
              L"ERROR: Wait thread is created timeout\n");
    EXPECT_GE(MillisecondsSince(t0), 40);

    w.evGo.Set();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
}

TEST(CThread, WaitStartedWaitsForTheThread) {
    CWork w;
    CThread t(true);
    w.pThread = &t;
    EXPECT_EQ(RaisedText([&] { t.WaitStarted(0, false); }),
              L"ERROR: Wait thread is created timeout\n");
    t.Start(SignalStartedThenWaitForGo, &w);
    EXPECT_NO_THROW(t.WaitStarted(kPatience, true));
    w.evGo.Set();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
}

TEST(CThread, DestroyingAfterTheThreadEndedReleasesItsHandle) {
    CWork w;
    HANDLE h = 0;
    std::size_t nBefore = 0;
    {
        CThread t(true);
        t.Start(Quick, &w);
        h = t.GetHandle();
        ASSERT_EQ(win::WaitForSingleObject(h, kPatience), WAIT_OBJECT_0);
        nBefore = win::KernelHandles().Count();
    }
    // The started event goes with the object, as does the thread's handle.
    EXPECT_EQ(win::KernelHandles().Count(), nBefore - 2);
    EXPECT_FALSE(IsOpen(h));
}

TEST(CThread, DestroyingWithoutWaitKeepsTheHandleOfAnEndedThread) {
    CWork w;
    HANDLE h = 0;
    {
        CThread t(false);
        t.Start(Quick, &w);
        h = t.GetHandle();
        ASSERT_EQ(win::WaitForSingleObject(h, kPatience), WAIT_OBJECT_0);
    }
    EXPECT_TRUE(IsOpen(h));
    EXPECT_TRUE(win::CloseHandle(h));
}

TEST(CThread, DestroyingWhileTheThreadRunsLeavesItRunning) {
    CWork w;
    HANDLE h = 0;
    {
        CThread t(true);
        t.Start(WaitForGo, &w);
        h = t.GetHandle();
    }
    EXPECT_FALSE(w.bDone);
    ASSERT_TRUE(IsOpen(h));

    w.evGo.Set();
    ASSERT_EQ(win::WaitForSingleObject(h, kPatience), WAIT_OBJECT_0);
    EXPECT_TRUE(w.bDone);
    DWORD dwExit = 1;
    EXPECT_TRUE(win::GetExitCodeThread(h, &dwExit));
    EXPECT_EQ(dwExit, kGoExitCode);
    EXPECT_TRUE(win::CloseHandle(h));
}

TEST(CThread, TerminateAlwaysRaisesAndLeavesTheThreadAlone) {
    CWork w;
    CThread t(true);
    EXPECT_EQ(RaisedText([&] { t.Terminate(); }).rfind(L"TerminateThread failed! ", 0), 0u);

    t.Start(WaitForGo, &w);
    const HANDLE h = t.GetHandle();
    EXPECT_EQ(RaisedText([&] { t.Terminate(); }).rfind(L"TerminateThread failed! ", 0), 0u);
    EXPECT_EQ(t.GetHandle(), h);
    EXPECT_FALSE(w.bDone);

    w.evGo.Set();
    EXPECT_EQ(t.WaitForCloseThread(kPatience), WAIT_OBJECT_0);
    EXPECT_TRUE(w.bDone);
}

TEST(CMyEvent, InitialState) {
    CMyEvent set(true);
    EXPECT_EQ(set.Wait(0), WAIT_OBJECT_0);
    CMyEvent clear(false);
    EXPECT_EQ(clear.Wait(0), WAIT_TIMEOUT);
    CMyEvent byDefault;
    EXPECT_EQ(byDefault.Wait(0), WAIT_TIMEOUT);
}

TEST(CMyEvent, SetStaysSetUntilReset) {
    CMyEvent ev(false);
    ev.Set();
    EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0);
    ev.Reset();
    const auto t0 = Clock::now();
    EXPECT_EQ(ev.Wait(30), WAIT_TIMEOUT);
    EXPECT_GE(MillisecondsSince(t0), 25);
}

TEST(CMyEvent, SetWakesEveryWaiter) {
    CMyEvent ev(false);
    std::atomic<DWORD> dwFirst{WAIT_FAILED};
    std::atomic<DWORD> dwSecond{WAIT_FAILED};
    std::thread first([&] { dwFirst = ev.Wait(kPatience); });
    std::thread second([&] { dwSecond = ev.Wait(kPatience); });
    ev.Set();
    first.join();
    second.join();
    EXPECT_EQ(dwFirst, WAIT_OBJECT_0);
    EXPECT_EQ(dwSecond, WAIT_OBJECT_0);
}

TEST(CMyEvent, DestructorClosesTheHandle) {
    HANDLE h = 0;
    {
        CMyEvent ev(true);
        h = ev.GetHandle();
        ASSERT_NE(h, 0u);
        EXPECT_TRUE(IsOpen(h));
    }
    EXPECT_FALSE(IsOpen(h));
}

TEST(CLockedText, HolderMayLockAgain) {
    CLockedText lock;
    lock.Lock(L"outer");
    lock.Lock();
    EXPECT_EQ(lock.GetText(), L"outer");
    lock.Unlock();
    EXPECT_EQ(lock.GetText(), L"");
    lock.Unlock();

    // Fully released: another thread gets it.
    CMyEvent evDone(false);
    std::thread other([&] {
        lock.Lock(L"other");
        lock.Unlock();
        evDone.Set();
    });
    const DWORD dw = evDone.Wait(kPatience);
    if (dw != WAIT_OBJECT_0) {
        lock.Unlock();  // still held once: free the other thread so that it can be joined
    }
    other.join();
    EXPECT_EQ(dw, WAIT_OBJECT_0);
}

TEST(CLockedText, ExcludesOtherThreads) {
    CLockedText lock;
    long nCounter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < kRounds; ++n) {
                lock.Lock();
                const long nRead = nCounter;  // a separate read and write, on purpose
                std::this_thread::yield();
                nCounter = nRead + 1;
                lock.Unlock();
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(nCounter, static_cast<long>(kThreads) * kRounds);
}

TEST(Kernel, AutoResetEventWakesOneWaitAndClears) {
    const HANDLE h = win::CreateEventW(FALSE, TRUE);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_TIMEOUT);

    std::atomic<DWORD> dwWaiter{WAIT_FAILED};
    std::thread waiter([&] { dwWaiter = win::WaitForSingleObject(h, kPatience); });
    EXPECT_TRUE(win::SetEvent(h));
    waiter.join();
    EXPECT_EQ(dwWaiter, WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(win::CloseHandle(h));
}

TEST(Kernel, ClosingAnUnknownHandleFails) {
    win::SetLastError(0);
    EXPECT_FALSE(win::CloseHandle(0));
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);

    const HANDLE h = win::CreateEventW(TRUE, FALSE);
    EXPECT_TRUE(win::CloseHandle(h));
    win::SetLastError(0);
    EXPECT_FALSE(win::CloseHandle(h));
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
    win::SetLastError(0);
    EXPECT_FALSE(win::SetEvent(h));
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_FAILED);
}

TEST(Kernel, HandleValuesAreNeverZeroNorReused) {
    std::set<HANDLE> seen;
    for (int i = 0; i < 500; ++i) {
        const HANDLE h = win::CreateEventW(TRUE, FALSE);
        ASSERT_NE(h, 0u);
        EXPECT_TRUE(seen.insert(h).second) << "handle 0x" << std::hex << h << " given twice";
        EXPECT_TRUE(win::CloseHandle(h));
    }
}

TEST(Kernel, ThreadHandleIsSetWhenTheRoutineReturns) {
    CWork w;
    DWORD dwId = 0;
    const HANDLE h = win::CreateThread(WaitForGo, &w, &dwId);
    ASSERT_NE(h, 0u);
    EXPECT_NE(dwId, 0u);
    EXPECT_NE(dwId, win::GetCurrentThreadId());

    DWORD dwExit = 0;
    EXPECT_TRUE(win::GetExitCodeThread(h, &dwExit));
    EXPECT_EQ(dwExit, 259u);  // still active
    EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(win::TerminateThread(h, 1));
    EXPECT_EQ(win::GetLastError(), ERROR_NOT_SUPPORTED);

    w.evGo.Set();
    EXPECT_EQ(win::WaitForSingleObject(h, kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_OBJECT_0);  // stays set
    EXPECT_TRUE(win::GetExitCodeThread(h, &dwExit));
    EXPECT_EQ(dwExit, kGoExitCode);
    EXPECT_TRUE(win::CloseHandle(h));
}

// What the end hook saw: the thread it ran on, and whether the handle was set by then.
std::atomic<DWORD> g_dwHookThread{0};
std::atomic<int> g_nHookRuns{0};
std::atomic<HANDLE> g_hHooked{0};
std::atomic<bool> g_bSetBeforeHook{false};

void RecordThreadEnd() {
    if (const HANDLE h = g_hHooked.load()) {
        if (win::GetCurrentThreadId() == g_dwHookThread.load()) {
            g_nHookRuns.fetch_add(1);
            g_bSetBeforeHook = g_bSetBeforeHook || win::WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
        }
    }
}

TEST(Kernel, TheThreadEndHookRunsOnceOnTheThreadBeforeItsHandleIsSet) {
    win::AddThreadEndHook(&RecordThreadEnd);
    win::AddThreadEndHook(&RecordThreadEnd);  // once only
    CWork w;
    DWORD dwId = 0;
    const HANDLE h = win::CreateThread(WaitForGo, &w, &dwId);
    ASSERT_NE(h, 0u);
    g_dwHookThread = dwId;
    g_hHooked = h;
    w.evGo.Set();
    ASSERT_EQ(win::WaitForSingleObject(h, kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(g_nHookRuns.load(), 1);
    EXPECT_FALSE(g_bSetBeforeHook.load());
    g_hHooked = 0;
    EXPECT_TRUE(win::CloseHandle(h));
}

TEST(Kernel, CreateThreadWithoutRoutineFails) {
    win::SetLastError(0);
    EXPECT_EQ(win::CreateThread(nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
