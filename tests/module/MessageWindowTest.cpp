// The headless main window's queue: messages from many threads arrive in each sender's
// order and sent ones are answered while the GUI thread takes several at once; a window
// destroyed in the middle of those still handles what was posted, in the order posted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "module/MessageWindow.h"

namespace {

class CNullSink : public ILogSink {
public:
    void AppendLog(std::wstring_view, int) override {}
};

constexpr UINT kPost = 1;
constexpr UINT kSend = 2;
constexpr UINT kDestroy = 3;
constexpr UINT kPostFromHandler = 4;

class CTestWindow : public CMessageWindow {
public:
    explicit CTestWindow(ILogSink& sink) : CMessageWindow(sink) {}

    std::vector<WPARAM> handled;  // GUI thread only; read after Run returned
    std::atomic<int> nHandled{0};

protected:
    LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM) override {
        if (nMsg == kDestroy) {
            Destroy();
            return 0;
        }
        if (nMsg == kPostFromHandler) {
            PostMessage(kPost, wParam + 1000, 0);  // queued behind what waits already
        }
        handled.push_back(wParam);
        ++nHandled;
        return static_cast<LRESULT>(wParam) + 1;
    }
};

TEST(MessageWindowTest, KeepsEachSendersOrderAndAnswersEverySend) {
    CNullSink sink;
    CTestWindow window(sink);
    std::thread gui([&] { window.Run(); });

    constexpr int kThreads = 4;
    constexpr int kMessages = 3000;
    std::vector<std::thread> senders;
    std::vector<int> wrongAnswers(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kMessages; ++i) {
                const auto wParam = static_cast<WPARAM>(t * 100000 + i);
                if (i % 50 == 0) {
                    if (window.SendMessage(kSend, wParam, 0) != static_cast<LRESULT>(wParam) + 1) {
                        ++wrongAnswers[t];
                    }
                } else {
                    window.PostMessage(kPost, wParam, 0);
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    window.Quit(0);
    gui.join();

    std::vector<int> next(kThreads, 0);
    for (const WPARAM w : window.handled) {
        const auto t = static_cast<int>(w / 100000);
        ASSERT_TRUE(t >= 0 && t < kThreads) << w;
        ASSERT_EQ(next[t], static_cast<int>(w % 100000)) << "thread " << t;
        ++next[t];
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(kMessages, next[t]) << "thread " << t;
        EXPECT_EQ(0, wrongAnswers[t]) << "thread " << t;
    }
}

TEST(MessageWindowTest, ADestroyAmongQueuedMessagesHandlesTheRestInTheOrderPosted) {
    CNullSink sink;
    CTestWindow window(sink);
    // All queued before Run, so that the GUI thread takes them together; the handler of
    // the second posts one more, which comes after everything queued before it.
    window.PostMessage(kPost, 1, 0);
    window.PostMessage(kPostFromHandler, 2, 0);
    window.PostMessage(kDestroy, 0, 0);
    window.PostMessage(kPost, 3, 0);
    window.PostMessage(kPost, 4, 0);
    window.Quit(0);
    window.Run();

    EXPECT_EQ((std::vector<WPARAM>{1, 2, 3, 4, 1002}), window.handled);
    EXPECT_FALSE(window.IsWindow());
    EXPECT_FALSE(window.PostMessage(kPost, 5, 0));
    EXPECT_EQ(0, window.SendMessage(kSend, 6, 0));
}

// Posted messages gather for a while before the GUI thread handles them; a sent message
// ends the gathering at once (its sender waits), and handles what was posted before it
// first. Without a sender the posted ones are handled once the gathering time is over.
TEST(MessageWindowTest, ASendEndsTheGatheringOfPostedMessages) {
    using namespace std::chrono;
    CNullSink sink;
    CTestWindow window(sink);
    window.SetGatherTime(seconds(20));
    std::thread gui([&] { window.Run(); });
    window.PostMessage(kPost, 1, 0);
    window.PostMessage(kPost, 2, 0);
    const auto start = steady_clock::now();
    EXPECT_EQ(4, window.SendMessage(kSend, 3, 0));
    EXPECT_LT(steady_clock::now() - start, seconds(10));
    window.Quit(0);
    gui.join();
    EXPECT_EQ((std::vector<WPARAM>{1, 2, 3}), window.handled);
}

TEST(MessageWindowTest, PostedMessagesAreHandledAfterTheGatheringTime) {
    using namespace std::chrono;
    CNullSink sink;
    CTestWindow window(sink);
    window.SetGatherTime(milliseconds(30));
    std::thread gui([&] { window.Run(); });
    window.PostMessage(kPost, 1, 0);
    window.PostMessage(kPost, 2, 0);
    // Nothing else arrives: no send, no Quit, yet both are handled.
    for (int i = 0; i < 1000 && window.nHandled.load() < 2; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(2, window.nHandled.load());
    window.Quit(0);
    gui.join();
    EXPECT_EQ((std::vector<WPARAM>{1, 2}), window.handled);
}

}  // namespace
