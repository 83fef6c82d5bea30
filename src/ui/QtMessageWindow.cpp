#include "ui/QtMessageWindow.h"

#include <QElapsedTimer>
#include <QTimer>

namespace {

bool IsDeletion(UINT nMsg) {
    return nMsg == UM_DELETE_CLIENT || nMsg == UM_DELETE_SESSION;
}

// The posted messages that every connection brings and that nobody waits for.
bool IsBatched(UINT nMsg) {
    return IsDeletion(nMsg) || nMsg == UM_SET_STATUS_TEXT;
}

// The status pane a posted status text is for (its record is the queue's until delivered);
// -1 for one the window does not show.
int StatusPaneOf(UINT nMsg, WPARAM wParam) {
    if (nMsg != UM_SET_STATUS_TEXT || wParam == 0) {
        return -1;
    }
    const int nPane = reinterpret_cast<const StatusRecord*>(wParam)->nPane;
    return nPane == 0 || nPane == 1 ? nPane : -1;
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
    m_pBatchTimer = new QTimer(this);
    m_pBatchTimer->setSingleShot(true);
    m_pBatchTimer->setInterval(kBatchMs);
    connect(m_pBatchTimer, &QTimer::timeout, this, &CQtMessageWindow::OnBatchEnd);
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
    if (nMsg == UM_GET_CONNECTION && IsWindow()) {
        std::lock_guard lock(m_answerMutex);
        if (m_connection) {
            *reinterpret_cast<CConnectionQuery*>(wParam) = *m_connection;
            return 1;
        }
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
    if (const int nPane = StatusPaneOf(nMsg, wParam); nPane >= 0) {
        ++m_nQueuedStatus[nPane];
    }
    if (!m_bBatching || !IsBatched(nMsg)) {
        WakeLocked();
    }
    return true;
}

bool CQtMessageWindow::IsWindow() const {
    return !m_bDestroyed.load(std::memory_order_acquire);
}

void CQtMessageWindow::SetConnectionAnswer(CConnectionQuery query) {
    std::lock_guard lock(m_answerMutex);
    m_connection = std::move(query);
}

void CQtMessageWindow::WakeLocked() {
    if (!m_bWakePending) {
        m_bWakePending = true;
        m_pWaker->Wake();
    }
}

void CQtMessageWindow::OnWake() {
    ++m_nWakes;
    {
        std::lock_guard lock(m_mutex);
        m_bWakePending = false;
    }
    if (DeliverQueued(kSliceMs)) {
        StartBatch();
    }
}

void CQtMessageWindow::StartBatch() {
    {
        std::lock_guard lock(m_mutex);
        m_bBatching = true;
    }
    m_pBatchTimer->start();
}

void CQtMessageWindow::OnBatchEnd() {
    {
        std::lock_guard lock(m_mutex);
        m_bBatching = false;
    }
    // What gathered meanwhile; when there was any, the next batch gathers too.
    if (DeliverQueued(kSliceMs)) {
        StartBatch();
    }
}

void CQtMessageWindow::DeliverPending() {
    DeliverQueued(-1);
}

bool CQtMessageWindow::DeliverQueued(int nSliceMs) {
    bool bBatched = false;
    QElapsedTimer slice;
    slice.start();
    // One message at a time: a handler that opens a modal box runs a nested event loop,
    // which goes on delivering the messages behind it.
    for (;;) {
        CMessage msg{};
        bool bDestroyed = false;
        bool bReplaced = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) {
                return bBatched;
            }
            if (nSliceMs >= 0 && slice.elapsed() >= nSliceMs) {
                // Paints and input get their turn; the rest follows on the next wake-up.
                WakeLocked();
                return bBatched;
            }
            msg = m_queue.front();
            m_queue.pop_front();
            bDestroyed = m_bDestroyed;
            if (const int nPane = StatusPaneOf(msg.nMsg, msg.wParam); nPane >= 0) {
                // A later text for the same pane waits in the queue: this one would show
                // for no time at all.
                bReplaced = m_nQueuedStatus[nPane]-- > 1;
            }
        }
        bBatched = bBatched || IsBatched(msg.nMsg);
        LRESULT lResult = 0;
        if (bReplaced) {
            Drop(msg.nMsg, msg.wParam);
        } else if (!bDestroyed || IsDeletion(msg.nMsg)) {
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
    m_nQueuedStatus[0] = m_nQueuedStatus[1] = 0;
    m_cvDone.notify_all();
}
