// A main window without a window system: one GUI thread with one message queue, on which
// sent and posted messages run in the order they arrive. UM_APPEND_LOG goes straight to a
// thread-safe log sink on the sender's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "module/MainWindow.h"

class CMessageWindow : public IMainWindow {
public:
    explicit CMessageWindow(ILogSink& logSink) : m_logSink(logSink) {}
    ~CMessageWindow() override = default;

    LRESULT SendMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    bool PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    bool IsWindow() const override;

    // The thread that calls it becomes the GUI thread: handles messages until Quit, then
    // returns the exit code given to Quit.
    int Run();
    // Any thread. Run returns once the messages queued before have been handled.
    void Quit(int nExitCode);
    // Before Run. How long the GUI thread lets posted messages gather before it handles
    // them (sent messages are handled at once); zero handles each as it comes.
    void SetGatherTime(std::chrono::microseconds gather) { m_gather = gather; }
    // Any thread, once Run has been entered.
    bool IsGuiThread() const;
    // Any thread. Whether Run is handling messages.
    bool IsRunning() const;

protected:
    // The sender's thread, for a message sent from another thread: a window may answer a
    // query that needs nothing of the GUI thread at once (true, with the result set), so
    // that the sender does not wait for the GUI thread's turn. None by default.
    virtual bool AnswerOnSenderThread(UINT nMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
    // GUI thread. Handles one message.
    virtual LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam) = 0;
    // GUI thread. The window is gone: nothing more is delivered to it.
    void Destroy();
    // GUI thread. Called after each batch of queued messages has been handled, before the
    // thread waits again; a window flushes there what it collected over the batch.
    virtual void OnBatchHandled() {}
    // GUI thread. Whether the message being handled came in a batch of queued ones (not a
    // send from the GUI thread itself).
    bool IsHandlingBatch() const { return m_bInBatch; }

    ILogSink& m_logSink;

private:
    struct CMessage {
        UINT nMsg;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT* pResult;  // sent: where the result goes; null when posted
        bool* pDone;       // sent: set when handled
    };

    // GUI thread: answers a sent message and wakes its sender.
    void Answer(const CMessage& msg, LRESULT lResult);

    mutable std::mutex m_mutex;
    std::condition_variable m_cvQueue;  // a message arrived
    std::condition_variable m_cvDone;   // a sent message was handled
    std::deque<CMessage> m_queue;
    // GUI thread only: the messages Run took from the queue at once, handled in order, and
    // the next one to handle. Taking all that waits in one go spares a lock round trip
    // per message when sessions start and end in quick succession.
    std::deque<CMessage> m_batch;
    std::size_t m_nBatchNext = 0;
    bool m_bInBatch = false;  // GUI thread: Run is handling a batch
    // Written under m_mutex, read without it: every relayed block asks whether the window
    // still exists, and must not queue behind the GUI thread for that.
    std::atomic<std::thread::id> m_guiThread;
    std::atomic<bool> m_bDestroyed{false};
    // A batch this long is handled without gathering more.
    static constexpr std::size_t kGatherLimit = 256;
    // Set before Run. Posted messages are status texts and deletions of ended sessions:
    // nobody sees 10 ms on a status line, and at thousands of connections a second one
    // wake-up serves dozens of sessions (at 1 ms the GUI thread woke for every fifth).
    std::chrono::microseconds m_gather{10000};
    bool m_bSentQueued = false;  // guarded by m_mutex: a sender waits in the queue
    bool m_bQuit = false;
    int m_nExitCode = 0;
};
