#include "module/MyModule.h"

#include <cstdio>
#include <cstdlib>

#include "platform/TextConv.h"
#include "support/ResourceStrings.h"
#include "support/Trace.h"

CMyModule g_Module;
std::atomic<bool> mainWindowClosing{false};

UINT ToolBarCtrlEnableMessage() {
    static const UINT s_nId = RegisterWindowMessageW(L"MyToolBarCtrlEnable");
    return s_nId;
}

void CMyModule::SetStatusText(const std::wstring& strText, int nPane) {
    Trace(L"Status: \"%s\", Part = %d", strText, nPane);
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow != nullptr && pWindow->IsWindow() && !mainWindowClosing) {
        auto* pRecord = new StatusRecord{strText, nPane};
        if (!pWindow->PostMessage(UM_SET_STATUS_TEXT, reinterpret_cast<WPARAM>(pRecord), 0)) {
            delete pRecord;  // not delivered: nobody else will free it
        }
    }
}

void CMyModule::SetStatusTextRes(UINT nId) {
    SetStatusText(LoadResourceString(nId), STATUS_PANE_TEXT);
}

void CMyModule::AppendLog(std::wstring_view text, int nStyle) {
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow != nullptr) {
        const CLogText log{text, {}, false};
        pWindow->SendMessage(UM_APPEND_LOG, reinterpret_cast<WPARAM>(&log), nStyle);
    }
}

void CMyModule::AppendLogBlock(std::string_view bytes, int nStyle) {
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow != nullptr) {
        const CLogText log{{}, bytes, true};
        pWindow->SendMessage(UM_APPEND_LOG, reinterpret_cast<WPARAM>(&log), nStyle);
    }
}

void CMyModule::LogRecord(const CLogRecord& record) {
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow != nullptr) {
        CLogText log;
        log.pRecord = &record;
        pWindow->SendMessage(UM_APPEND_LOG, reinterpret_cast<WPARAM>(&log), LOG_STYLE_KEEP);
    }
}

void CMyModule::AppendLogUtf8(std::string_view text, int nStyle) {
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow != nullptr) {
        const CLogText log{{}, text, false, true};
        pWindow->SendMessage(UM_APPEND_LOG, reinterpret_cast<WPARAM>(&log), nStyle);
    }
}

void CMyModule::AppendLogNarrow(std::string_view text) {
    if (text.data() == nullptr || text.size() > 0x3FFFFFFF) {
        return;
    }
    AppendLog(win::AnsiToWide(text), LOG_STYLE_KEEP);
}

void CMyModule::GetConnectionSettings(std::wstring& strUrl, int* pnLocalPort, int* pnRemotePort) {
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow == nullptr) {
        return;
    }
    pWindow->SendMessage(UM_GET_URL, reinterpret_cast<WPARAM>(&strUrl), 0);
    if (pnLocalPort != nullptr) {
        pWindow->SendMessage(UM_GET_LOCAL_PORT, reinterpret_cast<WPARAM>(pnLocalPort), 0);
    }
    if (pnRemotePort != nullptr) {
        pWindow->SendMessage(UM_GET_REMOTE_PORT, reinterpret_cast<WPARAM>(pnRemotePort), 0);
    }
}

void CMyModule::GetConnectionSettingsAtOnce(std::wstring& strUrl, int& nLocalPort,
                                            int& nRemotePort) {
    IMainWindow* pWindow = m_pMainWindow;
    if (pWindow == nullptr) {
        return;
    }
    CConnectionQuery query;
    if (pWindow->SendMessage(UM_GET_CONNECTION, reinterpret_cast<WPARAM>(&query), 0) == 1) {
        strUrl = std::move(query.strUrl);
        nLocalPort = query.nLocalPort;
        nRemotePort = query.nRemotePort;
        return;
    }
    GetConnectionSettings(strUrl, &nLocalPort, &nRemotePort);
}

void CMyModule::ToggleListening(bool bFlag) {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->PostMessage(WM_COMMAND, ID_TOOLS_LISTEN, bFlag ? 0 : 1);
    }
}

void CMyModule::StopListening() {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->PostMessage(WM_COMMAND, ID_TOOLS_LISTEN, LISTEN_STOP_ONLY);
    }
}

void CMyModule::CheckNotGuiThread() const {
    if (IsGuiThread()) {
        // Holders of the lock wait for the GUI thread (sent messages): a GUI thread that
        // waited for the lock could deadlock the program. Fail loudly at the first try.
        std::fputs("FATAL: the GUI thread took the module lock\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
}

void CMyModule::EnableCommand(UINT nId, bool bEnable) {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->SendMessage(ToolBarCtrlEnableMessage(), nId, bEnable ? 1 : 0);
    }
}

HANDLE CMyModule::GetMainMenu() {
    HANDLE hMenu = 0;
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->SendMessage(UM_GET_MAIN_MENU, reinterpret_cast<WPARAM>(&hMenu), 0);
    }
    return hMenu;
}

void CMyModule::RefreshTitle() {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->SendMessage(UM_REFRESH_TITLE, 0, 0);
    }
}

void CMyModule::ShowHelpTopic(const wchar_t* pszTopic) {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->SendMessage(UM_SHOW_HELP, reinterpret_cast<WPARAM>(pszTopic), 0);
    }
}

void CMyModule::CloseMainWindow() {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->PostMessage(WM_CLOSE, 0, 0);
    }
}

void CMyModule::NotifyBannerPane() {
    if (IMainWindow* pWindow = m_pMainWindow) {
        pWindow->PostMessage(UM_NOTIFY_BANNER, 0, 0);
    }
}

void CMyModule::ShowContextMenu(HWND hwnd, int x, int y) {
    if (IMainWindow* pWindow = m_pMainWindow) {
        const LPARAM lPoint = static_cast<LPARAM>((static_cast<std::uint32_t>(y & 0xFFFF) << 16) |
                                                  static_cast<std::uint32_t>(x & 0xFFFF));
        pWindow->SendMessage(UM_CONTEXT_MENU, reinterpret_cast<WPARAM>(hwnd), lPoint);
    }
}
