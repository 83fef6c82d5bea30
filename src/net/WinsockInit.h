// The process-wide start-up of the socket layer.
#pragma once

#include <mutex>

#include "platform/Winsock.h"

class CWinsockInit {
public:
    CWinsockInit();
    // Cleans up when the process exits; a failure there is only traced.
    ~CWinsockInit();

    // UI thread (any thread is safe). Starts the layer unless it runs; a failure raises
    // "WSAStartup error = 0x%x.". True when it runs.
    bool Startup();

    // UI thread. Stops the layer when it runs; a failure raises "WSAInit error = %d. %s".
    void Cleanup();

    int GetStatus() const;

private:
    mutable std::mutex m_mutex;
    win::WSADATA m_data{};
    int m_nStatus;  // WSAEFAULT (10014) while not started
};

extern CWinsockInit g_WinsockInit;
