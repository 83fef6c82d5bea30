#include "module/MessageWindow.h"

#include <string_view>

#include "module/Messages.h"
#include "module/MyModule.h"

LRESULT CMessageWindow::SendMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
    if (nMsg == UM_APPEND_LOG) {
        // The one message of every relayed block: appended on the sender's thread, which
        // holds the module lock, so appends keep their order.
        return IsWindow() ? AppendLogMessage(m_logSink, wParam, lParam) : 0;
    }
    if (IsGuiThread()) {
        return IsWindow() ? WindowProc(nMsg, wParam, lParam) : 0;
    }
    LRESULT lResult = 0;
    if (IsWindow() && AnswerOnSenderThread(nMsg, wParam, lParam, lResult)) {
        return lResult;
    }
    bool bDone = false;
    std::unique_lock lock(m_mutex);
    if (m_bDestroyed) {
        return 0;
    }
    m_queue.push_back({nMsg, wParam, lParam, &lResult, &bDone});
    // Always woken: a GUI thread that gathers posted messages stops gathering for a sender,
    // which waits for its answer.
    m_bSentQueued = true;
    m_cvQueue.notify_one();
    m_cvDone.wait(lock, [&] { return bDone; });
    return lResult;
}

bool CMessageWindow::AnswerOnSenderThread(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

bool CMessageWindow::PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(m_mutex);
    if (m_bDestroyed) {
        return false;
    }
    // The GUI thread waits only for an empty queue: a message behind others needs no
    // wake-up. The wake-up is given under the lock: once the GUI thread has taken the
    // message (which may end the window), this call no longer touches the window.
    const bool bWake = m_queue.empty();
    m_queue.push_back({nMsg, wParam, lParam, nullptr, nullptr});
    if (bWake) {
        m_cvQueue.notify_one();
    }
    return true;
}

bool CMessageWindow::IsWindow() const {
    return !m_bDestroyed.load(std::memory_order_acquire);
}

bool CMessageWindow::IsGuiThread() const {
    return m_guiThread.load(std::memory_order_acquire) == std::this_thread::get_id();
}

bool CMessageWindow::IsRunning() const {
    return m_guiThread.load(std::memory_order_acquire) != std::thread::id();
}

void CMessageWindow::Answer(const CMessage& msg, LRESULT lResult) {
    {
        std::lock_guard lock(m_mutex);
        *msg.pResult = lResult;
        *msg.pDone = true;
    }
    m_cvDone.notify_all();
}

void CMessageWindow::Quit(int nExitCode) {
    std::lock_guard lock(m_mutex);
    m_bQuit = true;
    m_nExitCode = nExitCode;
    m_cvQueue.notify_one();
}

void CMessageWindow::Destroy() {
    std::deque<CMessage> pending;
    {
        std::lock_guard lock(m_mutex);
        m_bDestroyed = true;
        // The rest of the batch being handled comes first, then what waits in the queue.
        m_queue.insert(
            m_queue.begin(),
            m_batch.begin() + static_cast<std::ptrdiff_t>(std::min(m_nBatchNext, m_batch.size())),
            m_batch.end());
        m_nBatchNext = m_batch.size();
        // Senders still waiting get 0, as for a window that is gone.
        for (CMessage& msg : m_queue) {
            if (msg.pDone != nullptr) {
                *msg.pResult = 0;
                *msg.pDone = true;
            } else {
                pending.push_back(msg);
            }
        }
        m_queue.clear();
        m_cvDone.notify_all();
    }
    // Posted messages already queued (deletions among them) are still handled.
    for (const CMessage& msg : pending) {
        WindowProc(msg.nMsg, msg.wParam, msg.lParam);
    }
}

int CMessageWindow::Run() {
    g_Module.SetGuiThread(std::this_thread::get_id());
    std::unique_lock lock(m_mutex);
    m_guiThread = std::this_thread::get_id();
    // A Quit that came before Run (a control thread may finish first) still ends this run.
    for (;;) {
        m_cvQueue.wait(lock, [this] { return !m_queue.empty() || m_bQuit; });
        if (m_queue.empty()) {
            break;  // quit, and everything queued before it is handled
        }
        if (m_gather.count() > 0) {
            // Posted messages wait a moment for the ones that follow them (a session's
            // status texts and deletions come in quick succession): one wake-up of this
            // thread serves them all. Posting wakes only an idle thread (an empty queue),
            // so none of these wake it; a sent message, a Quit or a full batch ends the wait.
            m_cvQueue.wait_for(lock, m_gather, [this] {
                return m_bSentQueued || m_bQuit || m_queue.size() >= kGatherLimit;
            });
        }
        m_bSentQueued = false;
        m_batch.clear();
        m_batch.swap(m_queue);
        lock.unlock();
        // Destroy, called by a handler, takes what is left of the batch.
        m_bInBatch = true;
        for (m_nBatchNext = 0; m_nBatchNext < m_batch.size();) {
            const CMessage msg = m_batch[m_nBatchNext++];
            const LRESULT lResult = WindowProc(msg.nMsg, msg.wParam, msg.lParam);
            if (msg.pDone != nullptr) {
                Answer(msg, lResult);
            }
        }
        m_bInBatch = false;
        OnBatchHandled();
        lock.lock();
    }
    m_guiThread = std::thread::id();
    m_bQuit = false;  // the next Run waits for a Quit of its own
    if (g_Module.GetGuiThread() == std::this_thread::get_id()) {
        g_Module.SetGuiThread(std::thread::id());
    }
    return m_nExitCode;
}
