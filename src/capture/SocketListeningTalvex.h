// The program's one listener: sessions of CSocketAccept, with the session count in the
// status bar.
#pragma once

#include "capture/SocketAccept.h"
#include "capture/SocketListening.h"

class CSocketListeningTalvex : public CSocketListening<CSocketAccept> {
public:
    CSocketListeningTalvex() = default;
    // Stops listening (without closing the main window afterwards).
    ~CSocketListeningTalvex() override;

    // Accept thread: registers the session and shows "%ld session(s) open".
    void OnAccept(CSocketAccept& vessel, CSocketAccept** ppRunHere = nullptr) override;

    // UI thread. Stops every session and the listening socket, then stores the flag that
    // closes the main window when the last client connection ends.
    void StopListening(bool bCloseWhenNoClients);
};
