// The Listen toggle of the log view, without its window: it owns the program's listener,
// starts or stops listening and reports the outcome in the status bar or a message box.
#pragma once

#include "capture/SocketListeningTalvex.h"

class CListenToggle {
public:
    // UI thread. Starts listening on the connection bar's local port, or stops listening
    // (with the close-when-no-clients flag). A failure to stop passes on to the caller.
    void ThreadListen(bool bFlag);

    bool IsListening() const { return m_listener.IsListening(); }
    CSocketListeningTalvex& GetListener() { return m_listener; }

private:
    CSocketListeningTalvex m_listener;
};
