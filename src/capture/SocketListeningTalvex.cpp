#include "capture/SocketListeningTalvex.h"

#include "capture/ClientCount.h"
#include "module/MyModule.h"
#include "support/ResourceStrings.h"

CSocketListeningTalvex::~CSocketListeningTalvex() {
    try {
        StopListening(false);
    } catch (...) {
        Trace(L"%s", TakeCaughtText(L"Unhandled exception!!!"));
    }
}

void CSocketListeningTalvex::OnAccept(CSocketAccept& vessel, CSocketAccept** ppRunHere) {
    CSocketListening<CSocketAccept>::OnAccept(vessel, ppRunHere);
    std::wstring strText;
    FormatResource(strText, 132, m_arrayListen.GetCount());
    g_Module.SetStatusText(strText, STATUS_PANE_SESSIONS);
}

void CSocketListeningTalvex::StopListening(bool bCloseWhenNoClients) {
    CloseListener(false);
    g_bCloseWhenNoClients = bCloseWhenNoClients;
}
