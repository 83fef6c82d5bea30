// The Qt side of the message protocol: worker threads reach the main window through this
// object. A sent message is a blocking call into the GUI thread (a direct call when the
// sender is the GUI thread), a posted one is queued; messages from one thread keep their
// order. UM_APPEND_LOG goes straight to the thread-safe log sink on the sender's thread.
//
// Every connection posts several status texts and two deletions. Those are delivered in
// batches: the first wakes the GUI thread at once, the ones that follow within kBatchMs of a
// delivery wait for the next (a busy relay costs the GUI thread a wake-up per batch, not per
// message), and of several status texts for one pane in a batch only the last is shown.
// Every other message wakes the GUI thread at once; the queue keeps its order throughout.
#pragma once

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "module/MainWindow.h"
#include "module/Messages.h"
#include "ui/GuiWaker.h"

class QTimer;

class CQtMessageWindow : public QObject, public IMainWindow {
    Q_OBJECT
public:
    // GUI thread. `fnWindowProc` handles every delivered message on the GUI thread.
    using WindowProcFn = std::function<LRESULT(UINT, WPARAM, LPARAM)>;
    // How long posted status texts and deletions gather before the GUI thread is woken
    // again for them: a frame.
    static constexpr int kBatchMs = 16;
    // How long the GUI thread delivers messages at one go before other events get their
    // turn (a burst of thousands of sessions that end at once would hold it otherwise).
    static constexpr int kSliceMs = 8;

    CQtMessageWindow(ILogSink& logSink, WindowProcFn fnWindowProc, QObject* pParent = nullptr);
    // GUI thread. Destroys the window first (see Destroy).
    ~CQtMessageWindow() override;

    // Any thread. The caller waits for the GUI thread; 0 once the window is destroyed.
    LRESULT SendMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    // Any thread; never blocks. False when the window is destroyed (not delivered).
    bool PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    // Any thread.
    bool IsWindow() const override;

    // GUI thread. From now on nothing is delivered: senders that wait get 0 at once, and
    // posted deletions of sessions and clients that were queued are still carried out so
    // that nothing leaks.
    void Destroy();
    // Any thread.
    bool IsGuiThread() const { return std::this_thread::get_id() == m_guiThread; }

    // GUI thread. Handles what is queued now; used by tests and the shut-down.
    void DeliverPending();

    // GUI thread. How often the GUI thread was woken for messages so far (a measure of what
    // the relay costs it; sessions bring several messages each).
    std::uint64_t WakeCount() const { return m_nWakes; }

    // GUI thread. From now on UM_GET_CONNECTION is answered with `query` on the sender's
    // thread, without waiting for the GUI thread (a session asks once per connection); the
    // main window keeps it equal to the connection bar's fields.
    void SetConnectionAnswer(CConnectionQuery query);

private:
    struct CMessage {
        UINT nMsg;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT* pResult;  // sent: where the result goes; null when posted
        bool* pDone;       // sent: set when handled or dropped
    };

    // Any thread, m_mutex held: makes sure the GUI thread is woken once.
    void WakeLocked();
    // GUI thread: the wake-up arrived.
    void OnWake();
    // GUI thread: the batch's time is up; delivers what gathered meanwhile.
    void OnBatchEnd();
    // GUI thread. Delivers what is queued, for at most `nSliceMs` (-1: all of it); whether
    // any of it was of a batched kind.
    bool DeliverQueued(int nSliceMs);
    // GUI thread. Posted status texts and deletions wait kBatchMs before the next wake-up.
    void StartBatch();

    ILogSink& m_logSink;
    WindowProcFn m_fnWindowProc;
    const std::thread::id m_guiThread;
    CGuiWaker* m_pWaker = nullptr;
    QTimer* m_pBatchTimer = nullptr;  // GUI thread
    std::uint64_t m_nWakes = 0;       // GUI thread

    mutable std::mutex m_mutex;
    std::condition_variable m_cvDone;  // a sent message was handled or dropped
    std::deque<CMessage> m_queue;      // guarded by m_mutex
    // Written under m_mutex, read without it: every relayed block asks whether the window
    // still exists.
    std::atomic<bool> m_bDestroyed{false};
    bool m_bWakePending = false;  // guarded by m_mutex
    bool m_bBatching = false;     // guarded by m_mutex: batched kinds do not wake
    // Guarded by m_mutex: the queued status texts per pane (0 and 1), so that one that a
    // later one replaces is skipped.
    int m_nQueuedStatus[2] = {0, 0};

    std::mutex m_answerMutex;
    std::optional<CConnectionQuery> m_connection;  // guarded by m_answerMutex
};
