// Process-wide bookkeeping of client connections.
#pragma once

#include <atomic>

// Live CSocketClient objects; changed atomically by their constructors and destructors.
extern std::atomic<long> g_nClientsCount;

// Set to the flag of each stop of listening: when the last client connection ends while
// it is set, the main window is asked to close.
extern std::atomic<bool> g_bCloseWhenNoClients;
