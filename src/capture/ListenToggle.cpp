#include "capture/ListenToggle.h"

#include "capture/ClientCount.h"
#include "module/MyModule.h"
#include "settings/RegKeyTalvex.h"
#include "support/ShowMessage.h"
#include "support/Trace.h"

void CListenToggle::ThreadListen(bool bFlag) {
    if (m_listener.IsListening()) {
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
        g_Module.SetStatusTextRes(142);
        if (strError.empty()) {
            g_Module.SetStatusText(m_listener.GetListenDescription(), STATUS_PANE_TEXT);
        }
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!!");
    }
    if (!strError.empty()) {
        ShowMessage(win::FormatW(L"ERROR: CTapvaneView::ThreadListen() failed! %s\nport = %d",
                                 strError, nPort),
                    MB_ICONERROR, MainWindowHandle());
    }
}
