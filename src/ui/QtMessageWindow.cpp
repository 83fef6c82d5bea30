#include "ui/QtMessageWindow.h"

#include "module/Messages.h"

namespace {

bool IsDeletion(UINT nMsg) {
    return nMsg == UM_DELETE_CLIENT || nMsg == UM_DELETE_SESSION;
}

// A posted message that is not delivered: what it owns is freed here.
void Drop(UINT nMsg, WPARAM wParam) {
    if (nMsg == UM_SET_STATUS_TEXT) {
        delete reinterpret_cast<StatusRecord*>(wParam);
    }
}

}  // namespace

CQtMessageWindow::CQtMessageWindow(ILogSink& logSink, WindowProcFn fnWindowProc, QObject* pParent)
    : QObject(pParent),
      m_logSink(logSink),
      m_fnWindowProc(std::move(fnWindowProc)),
      m_guiThread(std::this_thread::get_id()) {
    m_pWaker = new CGuiWaker([this] { OnWake(); }, this);
}

CQtMessageWindow::~CQtMessageWindow() {
    Destroy();
    DeliverPending();  // deletions posted after the window went away
}

LRESULT CQtMessageWindow::SendMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
    if (nMsg == UM_APPEND_LOG) {
        return IsWindow() ? AppendLogMessage(m_logSink, wParam, lParam) : 0;
    }
    if (IsGuiThread()) {
        return IsWindow() ? m_fnWindowProc(nMsg, wParam, lParam) : 0;
    }
    LRESULT lResult = 0;
    bool bDone = false;
    std::unique_lock lock(m_mutex);
    if (m_bDestroyed) {
        return 0;
    }
    m_queue.push_back({nMsg, wParam, lParam, &lResult, &bDone});
    WakeLocked();
    m_cvDone.wait(lock, [&] { return bDone; });
    return lResult;
}

bool CQtMessageWindow::PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(m_mutex);
    // Deletions are still carried out after the window is gone, so that a session that ends
    // during shut-down does not leak.
    if (m_bDestroyed && !IsDeletion(nMsg)) {
        return false;
    }
    m_queue.push_back({nMsg, wParam, lParam, nullptr, nullptr});
    WakeLocked();
    return true;
}

bool CQtMessageWindow::IsWindow() const {
    std::lock_guard lock(m_mutex);
    return !m_bDestroyed;
}

void CQtMessageWindow::WakeLocked() {
    if (!m_bWakePending) {
        m_bWakePending = true;
        m_pWaker->Wake();
    }
}

void CQtMessageWindow::OnWake() {
    {
        std::lock_guard lock(m_mutex);
        m_bWakePending = false;
    }
    DeliverPending();
}

void CQtMessageWindow::DeliverPending() {
    // One message at a time: a handler that opens a modal box runs a nested event loop,
    // which goes on delivering the messages behind it.
    for (;;) {
        CMessage msg{};
        bool bDestroyed = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) {
                return;
            }
            msg = m_queue.front();
            m_queue.pop_front();
            bDestroyed = m_bDestroyed;
        }
        LRESULT lResult = 0;
        if (!bDestroyed || IsDeletion(msg.nMsg)) {
            lResult = m_fnWindowProc(msg.nMsg, msg.wParam, msg.lParam);
        } else if (msg.pDone == nullptr) {
            Drop(msg.nMsg, msg.wParam);
        }
        if (msg.pDone != nullptr) {
            std::lock_guard lock(m_mutex);
            *msg.pResult = lResult;
            *msg.pDone = true;
            m_cvDone.notify_all();
        }
    }
}

void CQtMessageWindow::Destroy() {
    std::lock_guard lock(m_mutex);
    if (m_bDestroyed) {
        return;
    }
    m_bDestroyed = true;
    // Senders still waiting get 0, as for a window that is gone; queued deletions stay.
    std::deque<CMessage> kept;
    for (CMessage& msg : m_queue) {
        if (msg.pDone != nullptr) {
            *msg.pResult = 0;
            *msg.pDone = true;
        } else if (IsDeletion(msg.nMsg)) {
            kept.push_back(msg);
        } else {
            Drop(msg.nMsg, msg.wParam);
        }
    }
    m_queue.swap(kept);
    m_cvDone.notify_all();
}
