// The Qt side of the message protocol: worker threads reach the main window through this
// object. A sent message is a blocking call into the GUI thread (a direct call when the
// sender is the GUI thread), a posted one is queued; messages from one thread keep their
// order. UM_APPEND_LOG goes straight to the thread-safe log sink on the sender's thread.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "module/MainWindow.h"
#include "ui/GuiWaker.h"

class CQtMessageWindow : public QObject, public IMainWindow {
    Q_OBJECT
public:
    // GUI thread. `fnWindowProc` handles every delivered message on the GUI thread.
    using WindowProcFn = std::function<LRESULT(UINT, WPARAM, LPARAM)>;
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

    ILogSink& m_logSink;
    WindowProcFn m_fnWindowProc;
    const std::thread::id m_guiThread;
    CGuiWaker* m_pWaker = nullptr;

    mutable std::mutex m_mutex;
    std::condition_variable m_cvDone;  // a sent message was handled or dropped
    std::deque<CMessage> m_queue;      // guarded by m_mutex
    bool m_bDestroyed = false;         // guarded by m_mutex
    bool m_bWakePending = false;       // guarded by m_mutex
};
