// A seam for tests: makes a chosen system call of the platform layer fail with a chosen
// errno, as the system would. Unarmed it costs one atomic load per call.
#pragma once

#include <cstdint>

namespace win {

enum class FaultCall {
    Accept,        // accept of a listening socket
    Send,          // send on a socket
    Recv,          // recv on a socket
    Bind,          // bind of a socket
    Connect,       // connect of a socket
    CreateEvent,   // the descriptor of a WSAEVENT
    CreateThread,  // the start of a thread
    OpenFile,      // open of a file (CreateFileW)
    WriteFile,     // write to a file (WriteFile)
    Socket,        // the creation of a socket
    Poll,          // the wait of a receive loop (WSAWaitForMultipleEvents)
    Shutdown,      // shutdown of a socket
    SaveWrite,     // a write to a saved response file
    SpoolWrite,    // a write to one of the log's spool files
};

struct CFaultRule {
    FaultCall call = FaultCall::Send;
    int nErrno = 5;                // EIO
    int nSkip = 0;                 // eligible calls that pass before the first failure
    int nTimes = 1;                // failures in a row after that (-1: every later call)
    std::uint16_t nLocalPort = 0;  // socket calls: only sockets with this local port
    std::uint16_t nPeerPort = 0;   // socket calls: only sockets with this peer port
    int nDelayMs = 0;              // a slow call: it waits this long first (then fails
                                   // with nErrno, or goes on when nErrno is 0)
};

// Any thread. Adds a fault; each armed fault counts its own eligible calls.
void ArmFault(const CFaultRule& rule);
// Any thread. Removes every fault.
void DisarmFaults();
// Any thread. Failures injected since the last DisarmFaults.
int InjectedFaultCount();

// The platform layer, at the start of a call: the errno to fail with, 0 to go on. `fd` is
// the socket's descriptor for socket calls (for the port filters), -1 otherwise.
int TakeFault(FaultCall call, int fd = -1);

}  // namespace win
