#include "app/HeadlessMainWindow.h"

#include "capture/SocketAccept.h"
#include "capture/SocketClient.h"
#include "module/Messages.h"
#include "module/MyModule.h"
#include "platform/TextConv.h"
#include "support/ShowMessage.h"

void CHeadlessMainWindow::SetConnectionSettings(const std::wstring& strUrl, int nLocalPort,
                                                int nRemotePort) {
    std::lock_guard lock(m_mutex);
    m_strUrl = strUrl;
    m_nLocalPort = nLocalPort;
    m_nRemotePort = nRemotePort;
}

void CHeadlessMainWindow::SetStatusObserver(std::function<void(int, const std::wstring&)> fn) {
    std::lock_guard lock(m_mutex);
    m_fnStatus = std::move(fn);
}

void CHeadlessMainWindow::SetStatusLinesObserver(std::function<void(const std::string&)> fn) {
    std::lock_guard lock(m_mutex);
    m_fnStatusLines = std::move(fn);
}

void CHeadlessMainWindow::FlushStatusLines() {
    if (m_strStatusLines.empty()) {
        return;
    }
    std::function<void(const std::string&)> fn;
    {
        std::lock_guard lock(m_mutex);
        fn = m_fnStatusLines;
    }
    std::string strLines;
    strLines.swap(m_strStatusLines);
    if (fn) {
        fn(strLines);
    }
}

void CHeadlessMainWindow::OnBatchHandled() {
    FlushStatusLines();
}

std::wstring CHeadlessMainWindow::GetStatusText(int nPane) const {
    std::lock_guard lock(m_mutex);
    auto it = m_status.find(nPane);
    return it == m_status.end() ? std::wstring() : it->second;
}

bool CHeadlessMainWindow::IsListening() const {
    std::lock_guard lock(m_mutex);
    return m_bListening;
}

long CHeadlessMainWindow::GetSessionCount() {
    return m_listen.GetListener().GetRegistry().GetCount();  // an atomic count
}

int CHeadlessMainWindow::GetBannerNotifications() const {
    std::lock_guard lock(m_mutex);
    return m_nBannerNotifications;
}

bool CHeadlessMainWindow::IsCommandEnabled(UINT nId) const {
    std::lock_guard lock(m_mutex);
    auto it = m_commands.find(nId);
    return it == m_commands.end() || it->second;
}

bool CHeadlessMainWindow::AnswerOnSenderThread(UINT nMsg, WPARAM wParam, LPARAM lParam,
                                               LRESULT& lResult) {
    if (nMsg != UM_GET_CONNECTION) {
        return false;
    }
    lResult = WindowProc(nMsg, wParam, lParam);  // takes only the window's own lock
    return true;
}

LRESULT CHeadlessMainWindow::WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam) {
    switch (nMsg) {
        case UM_SET_STATUS_TEXT: {
            std::unique_ptr<StatusRecord> pRecord(reinterpret_cast<StatusRecord*>(wParam));
            const std::wstring strText = pRecord->strText.substr(0, 250);
            std::function<void(int, const std::wstring&)> fn;
            bool bLines = false;
            {
                std::lock_guard lock(m_mutex);
                m_status[pRecord->nPane] = strText;
                fn = m_fnStatus;
                bLines = static_cast<bool>(m_fnStatusLines);
            }
            if (fn) {
                fn(pRecord->nPane, strText);
            }
            if (bLines) {
                m_strStatusLines += win::WideToAnsi(strText);
                m_strStatusLines += '\n';
                if (!IsHandlingBatch()) {
                    FlushStatusLines();
                }
            }
            return 0;
        }
        case UM_GET_URL: {
            std::lock_guard lock(m_mutex);
            *reinterpret_cast<std::wstring*>(wParam) = m_strUrl;
            return 0;
        }
        case UM_GET_LOCAL_PORT: {
            std::lock_guard lock(m_mutex);
            *reinterpret_cast<int*>(wParam) = m_nLocalPort;
            return 0;
        }
        case UM_GET_REMOTE_PORT: {
            std::lock_guard lock(m_mutex);
            *reinterpret_cast<int*>(wParam) = m_nRemotePort;
            return 0;
        }
        case UM_GET_CONNECTION: {
            std::lock_guard lock(m_mutex);
            auto& query = *reinterpret_cast<CConnectionQuery*>(wParam);
            query = {m_strUrl, m_nLocalPort, m_nRemotePort};
            return 1;
        }
        case UM_GET_MAIN_MENU:
            *reinterpret_cast<HANDLE*>(wParam) = 0;  // no menu without a window system
            return 0;
        case UM_NOTIFY_BANNER: {
            std::lock_guard lock(m_mutex);
            ++m_nBannerNotifications;
            return 0;
        }
        case UM_DELETE_CLIENT:
        case UM_DELETE_SESSION:
            DeleteRelayObject(nMsg, wParam);
            return 0;
        case WM_COMMAND:
            FlushStatusLines();  // what a command prints comes after the texts before it
            if ((wParam & 0xFFFF) == ID_TOOLS_LISTEN) {
                if (lParam != LISTEN_STOP_ONLY) {
                    OnListenCommand(lParam == 0);
                } else if (m_listen.IsListening()) {
                    OnListenCommand(false);
                }
            }
            return 0;
        case WM_CLOSE:
            FlushStatusLines();
            OnClose();
            return 0;
        default:
            if (nMsg == ToolBarCtrlEnableMessage()) {
                std::lock_guard lock(m_mutex);
                m_commands[static_cast<UINT>(wParam)] = (lParam & 0xFF) != 0;
            }
            return 0;  // title, help and context menu have nothing to show here
    }
}

void CHeadlessMainWindow::OnListenCommand(bool bFlag) {
    try {
        m_listen.ThreadListen(bFlag);
    } catch (...) {
        ShowMessage(L"ERROR: CTapvaneView failed! " + TakeCaughtText(L"Unhandled exception!"),
                    MB_ICONEXCLAMATION, MainWindowHandle());
    }
    std::lock_guard lock(m_mutex);
    m_bListening = m_listen.IsListening();
}

void CHeadlessMainWindow::OnClose() {
    if (m_listen.IsListening()) {
        // Stop listening first; the last client connection to end closes the window.
        g_Module.ToggleListening(true);
        return;
    }
    mainWindowClosing = true;
    Destroy();
    Quit(1);
}
