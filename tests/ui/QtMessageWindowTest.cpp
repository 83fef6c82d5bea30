// The Qt side of the message protocol: blocking sends from worker threads, queued posts,
// order, and a window that goes away while workers still send.
#include "ui/QtMessageWindow.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
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

TEST(QtMessageWindow, OfSeveralQueuedStatusTextsForAPaneOnlyTheLastIsShown) {
    CNullSink sink;
    std::vector<std::wstring> handled;  // GUI thread only
    CQtMessageWindow window(sink, [&](UINT nMsg, WPARAM wParam, LPARAM) -> LRESULT {
        if (nMsg == UM_SET_STATUS_TEXT) {
            std::unique_ptr<StatusRecord> pRecord(reinterpret_cast<StatusRecord*>(wParam));
            handled.push_back(std::to_wstring(pRecord->nPane) + L":" + pRecord->strText);
        } else {
            handled.push_back(L"other " + std::to_wstring(wParam));
        }
        return 0;
    });
    auto post = [&](const wchar_t* pszText, int nPane) {
        window.PostMessage(UM_SET_STATUS_TEXT,
                           reinterpret_cast<WPARAM>(new StatusRecord{pszText, nPane}), 0);
    };
    post(L"a", 1);
    post(L"b", 1);
    post(L"x", 0);
    window.PostMessage(kRecord, 1, 0);
    post(L"c", 1);
    post(L"odd pane", 5);  // not one the window shows: passed on as it is
    window.DeliverPending();
    // The replaced texts are freed without being shown (the leak checker sees them
    // otherwise); everything else keeps its order.
    const std::vector<std::wstring> expected = {L"0:x", L"other 1", L"1:c", L"5:odd pane"};
    EXPECT_EQ(expected, handled);

    // A text posted after the last one was shown is shown in its turn.
    handled.clear();
    post(L"d", 1);
    window.DeliverPending();
    EXPECT_EQ(std::vector<std::wstring>{L"1:d"}, handled);
}

TEST(QtMessageWindow, ABurstOfPostedDeletionsCostsTheGuiThreadFewWakeUpsAndKeepsItsOrder) {
    CNullSink sink;
    std::vector<WPARAM> deleted;  // GUI thread only
    CQtMessageWindow window(sink, [&](UINT nMsg, WPARAM wParam, LPARAM) -> LRESULT {
        if (nMsg == UM_DELETE_SESSION) {
            deleted.push_back(wParam);
        }
        return 0;
    });
    constexpr int kCount = 2000;
    std::atomic<bool> bDone{false};
    std::thread worker([&] {
        // Sessions ending one after another over a while, not all at once.
        for (int i = 0; i < kCount; ++i) {
            window.PostMessage(UM_DELETE_SESSION, static_cast<WPARAM>(i), 0);
            if (i % 20 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        bDone = true;
    });
    const bool bAll = PumpUntil([&] { return bDone && deleted.size() == kCount; });
    worker.join();
    ASSERT_TRUE(bAll) << deleted.size();
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(static_cast<WPARAM>(i), deleted[static_cast<std::size_t>(i)]);
    }
    // One wake-up a message would be kCount; batches need a small part of that.
    EXPECT_LT(window.WakeCount(), static_cast<std::uint64_t>(kCount / 4));
    EXPECT_GE(window.WakeCount(), 1u);
}

TEST(QtMessageWindow, AMessageThatIsNotBatchedTakesTheBatchAlongAtOnce) {
    CNullSink sink;
    std::vector<UINT> handled;  // GUI thread only
    CQtMessageWindow window(sink, [&](UINT nMsg, WPARAM, LPARAM) -> LRESULT {
        handled.push_back(nMsg);
        return 0;
    });
    window.PostMessage(UM_DELETE_SESSION, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return handled.size() == 1; }));
    // A batch gathers now: the deletion waits, but a command behind it wakes the GUI thread,
    // and both go in their order without the batch's time.
    window.PostMessage(UM_DELETE_SESSION, 0, 0);
    window.PostMessage(kRecord, 0, 0);
    for (int i = 0; i < 5 && handled.size() < 3; ++i) {
        QCoreApplication::processEvents();  // what is ready now, without waiting
    }
    const std::vector<UINT> expected = {UM_DELETE_SESSION, UM_DELETE_SESSION, kRecord};
    EXPECT_EQ(expected, handled);
}

TEST(QtMessageWindow, TheConnectionQuestionIsAnsweredOnTheSendersThreadOnceItsAnswerIsSet) {
    CNullSink sink;
    std::atomic<int> nHandled{0};
    CQtMessageWindow window(sink, [&](UINT nMsg, WPARAM wParam, LPARAM) -> LRESULT {
        ++nHandled;
        if (nMsg == UM_GET_CONNECTION) {
            *reinterpret_cast<CConnectionQuery*>(wParam) = {L"from the GUI thread", 1, 2};
            return 1;
        }
        return 0;
    });
    // Before an answer is set the GUI thread answers.
    std::atomic<bool> bAnswered{false};
    CConnectionQuery query;
    std::thread asker([&] {
        window.SendMessage(UM_GET_CONNECTION, reinterpret_cast<WPARAM>(&query), 0);
        bAnswered = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return bAnswered.load(); }));
    asker.join();
    EXPECT_EQ(L"from the GUI thread", query.strUrl);
    EXPECT_EQ(1, nHandled.load());

    window.SetConnectionAnswer({L"http://example.com/", 8080, 80});
    LRESULT lResult = 0;
    std::thread worker([&] {
        lResult = window.SendMessage(UM_GET_CONNECTION, reinterpret_cast<WPARAM>(&query), 0);
    });
    worker.join();  // no event loop ran meanwhile: the answer did not wait for it
    EXPECT_EQ(1, lResult);
    EXPECT_EQ(L"http://example.com/", query.strUrl);
    EXPECT_EQ(8080, query.nLocalPort);
    EXPECT_EQ(80, query.nRemotePort);
    EXPECT_EQ(1, nHandled.load());

    // A window that is gone answers nothing.
    window.Destroy();
    query = {};
    std::thread late([&] {
        lResult = window.SendMessage(UM_GET_CONNECTION, reinterpret_cast<WPARAM>(&query), 0);
    });
    late.join();
    EXPECT_EQ(0, lResult);
    EXPECT_TRUE(query.strUrl.empty());
}

}  // namespace
