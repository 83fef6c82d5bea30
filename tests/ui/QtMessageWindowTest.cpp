// The Qt side of the message protocol: blocking sends from worker threads, queued posts,
// order, and a window that goes away while workers still send.
#include "ui/QtMessageWindow.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <thread>
#include <vector>

#include "module/Messages.h"

namespace {

class CNullSink : public ILogSink {
public:
    void AppendLog(std::wstring_view text, int) override { m_nChars += text.size(); }
    std::atomic<std::size_t> m_nChars{0};
};

constexpr UINT kEcho = 0x7001;
constexpr UINT kRecord = 0x7002;

// Runs the GUI thread's event loop until `done` holds or 10 s have passed.
template <class F>
bool PumpUntil(F done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

TEST(QtMessageWindow, SentMessagesRunOnTheGuiThreadAndKeepEachSendersOrder) {
    CNullSink sink;
    std::vector<std::pair<int, int>> handled;  // GUI thread only
    std::thread::id handlerThread;
    CQtMessageWindow window(sink, [&](UINT nMsg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        handlerThread = std::this_thread::get_id();
        if (nMsg == kRecord) {
            handled.emplace_back(static_cast<int>(wParam), static_cast<int>(lParam));
        }
        return nMsg == kEcho ? static_cast<LRESULT>(wParam) * 2 : 0;
    });
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::atomic<int> nWrong{0};
    std::atomic<int> nFinished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (i % 2 == 0) {
                    window.PostMessage(kRecord, t, i);
                } else if (window.SendMessage(kEcho, i, 0) != i * 2) {
                    ++nWrong;
                } else {
                    window.PostMessage(kRecord, t, i);
                }
            }
            ++nFinished;
        });
    }
    ASSERT_TRUE(PumpUntil([&] { return nFinished == kThreads; }));
    ASSERT_TRUE(PumpUntil([&] { return handled.size() == kThreads * kPerThread; }));
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(0, nWrong.load());
    EXPECT_EQ(std::this_thread::get_id(), handlerThread);
    std::vector<int> last(kThreads, -1);
    for (auto [t, i] : handled) {
        EXPECT_GT(i, last[t]) << "thread " << t << " out of order";
        last[t] = i;
    }
    // From the GUI thread itself a send is a direct call.
    EXPECT_EQ(42, window.SendMessage(kEcho, 21, 0));
}

TEST(QtMessageWindow, LogAppendsRunOnTheSendersThreadWithoutTheEventLoop) {
    CNullSink sink;
    CQtMessageWindow window(sink, [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    std::thread worker([&] {
        const CLogText log{L"hello", {}, false};
        window.SendMessage(UM_APPEND_LOG, reinterpret_cast<WPARAM>(&log), LOG_STYLE_PLAIN);
    });
    worker.join();  // no event loop ran: the append did not wait for the GUI thread
    EXPECT_EQ(5u, sink.m_nChars.load());
}

TEST(QtMessageWindow, DestroyingReleasesWaitingSendersAndKeepsOnlyDeletions) {
    CNullSink sink;
    int nDeletions = 0;
    int nOthers = 0;
    auto pWindow =
        std::make_unique<CQtMessageWindow>(sink, [&](UINT nMsg, WPARAM, LPARAM) -> LRESULT {
            (nMsg == UM_DELETE_SESSION ? nDeletions : nOthers)++;
            return 7;
        });
    std::atomic<int> nStarted{0};
    std::vector<LRESULT> results(8, -1);
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i) {
        senders.emplace_back([&, i] {
            ++nStarted;
            results[i] = pWindow->SendMessage(kEcho, 1, 0);  // the GUI thread never answers
        });
    }
    while (nStarted < 8) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(pWindow->PostMessage(UM_DELETE_SESSION, 0, 0));
    // A status text that is never shown is freed with the window (the leak checker of the
    // sanitizer build sees it otherwise).
    EXPECT_TRUE(pWindow->PostMessage(UM_SET_STATUS_TEXT,
                                     reinterpret_cast<WPARAM>(new StatusRecord{L"x", 1}), 0));
    pWindow->Destroy();
    for (auto& s : senders) {
        s.join();  // would hang if a sender were left waiting
    }
    for (LRESULT r : results) {
        EXPECT_EQ(0, r);
    }
    EXPECT_FALSE(pWindow->IsWindow());
    EXPECT_EQ(0, pWindow->SendMessage(kEcho, 1, 0));
    EXPECT_FALSE(pWindow->PostMessage(kEcho, 1, 0));
    EXPECT_TRUE(pWindow->PostMessage(UM_DELETE_SESSION, 0, 0));
    pWindow.reset();  // carries out what is still queued
    EXPECT_EQ(2, nDeletions);
    EXPECT_EQ(0, nOthers);
}

}  // namespace
