#include "capture/ListenToggle.h"

#include "capture/ClientCount.h"
#include "capture/ReplaySessions.h"
#include "module/MyModule.h"
#include "platform/PortHolder.h"
#include "platform/WinError.h"
#include "settings/RegKeyTalvex.h"
#include "support/ShowMessage.h"
#include "support/Trace.h"

void CListenToggle::ThreadListen(bool bFlag) {
    if (m_listener.IsListening()) {
        ReplaySessions().StopAll();  // a stop ends the replays with the relayed sessions
        m_listener.StopListening(bFlag);
        g_Module.SetStatusTextRes(141);
        if (!bFlag) {
            g_Module.NotifyBannerPane();
        }
        return;
    }
    // A flag left set by an earlier close that stayed open (no session was running) must
    // not end this run after its first session.
    g_bCloseWhenNoClients = false;
    std::wstring strError;
    int nPort = 0;
    try {
        std::wstring strUrl;
        g_Module.GetConnectionSettings(strUrl, &nPort, nullptr);
        const std::wstring strWhere = CRegKeyTalvex().GetListenAddress();
        const std::optional<CListenAddress> where = CListenAddress::Parse(strWhere);
        if (!where) {
            // A stored text that is no address: the safe choice, this machine only.
            Trace(L"\"Listen Address\" is not an address: '%s'. Listening on this machine only.",
                  strWhere);
        }
        m_listener.Listen(static_cast<std::uint16_t>(nPort),
                          where.value_or(CListenAddress::Local()));
        strError = m_listener.GetListenError();
        if (strError.empty()) {
            g_Module.SetStatusTextRes(142);  // "Start listening", only once it has
            g_Module.SetStatusText(m_listener.GetListenDescription(), STATUS_PANE_TEXT);
        }
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!!");
    }
    if (!strError.empty()) {
        std::wstring strText = win::FormatW(
            L"ERROR: CTapvaneView::ThreadListen() failed! %s\nport = %d", strError, nPort);
        // The port and, where the system tells, the program that holds it.
        const bool bInUse = strError.find(L"error = " + std::to_wstring(WSAEADDRINUSE) + L".") !=
                            std::wstring::npos;
        if (nPort > 0 && nPort <= 65535 &&
            (bInUse || win::FindPortListener(static_cast<std::uint16_t>(nPort)))) {
            strText += L"\n" + win::DescribePortInUse(static_cast<std::uint16_t>(nPort));
        }
        ShowMessage(strText, MB_ICONERROR, MainWindowHandle());
    }
}
