#include "capture/ListenToggle.h"

#include "module/MyModule.h"
#include "support/ShowMessage.h"

void CListenToggle::ThreadListen(bool bFlag) {
    if (m_listener.IsListening()) {
        m_listener.StopListening(bFlag);
        g_Module.SetStatusTextRes(141);
        if (!bFlag) {
            g_Module.NotifyBannerPane();
        }
        return;
    }
    std::wstring strError;
    int nPort = 0;
    try {
        std::wstring strUrl;
        g_Module.GetConnectionSettings(strUrl, &nPort, nullptr);
        m_listener.Listen(static_cast<std::uint16_t>(nPort));
        strError = m_listener.GetListenError();
        g_Module.SetStatusTextRes(142);
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!!");
    }
    if (!strError.empty()) {
        ShowMessage(win::FormatW(L"ERROR: CTapvaneView::ThreadListen() failed! %s\nport = %d",
                                 strError, nPort),
                    MB_ICONERROR, MainWindowHandle());
    }
}
