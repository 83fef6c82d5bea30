// A layer under a socket handle that the connection's bytes pass through, such as TLS: once a
// filter is attached, recv, send, shutdown and closesocket of the handle read and write the
// filter's clear bytes, on the thread that calls them, and the event model reports FD_READ
// while the filter holds bytes to give even when the descriptor itself has nothing.
#pragma once

#include <memory>

#include "platform/Winsock.h"

namespace win {

// What a filter call did: `n` >= 0 bytes moved (a receive of 0: the stream has ended in
// order); n < 0 with `nWait` POLLIN or POLLOUT: nothing could be done until the descriptor
// is ready for that; n < 0 with nWait 0: the call failed with `nErrno`.
struct CFilterResult {
    int n = 0;
    short nWait = 0;
    int nErrno = 0;
};

// What the reading side could give now, after taking in what the descriptor holds.
struct CFilterReadState {
    int nAvailable = 0;   // clear bytes that a receive gives without waiting
    bool bEnded = false;  // the stream has ended (nothing more is available)
    int nErrno = 0;       // the reading side failed (a reset, a broken stream)
    short nWait = 0;      // what more needs from the descriptor: POLLIN, or POLLOUT
};

// The calls never wait; the socket layer waits outside them as the handle's mode asks. At
// most one thread reads (Recv, ReadState) and one writes (Send, Shutdown) at a time; the two
// may run at once.
class ISocketFilter {
public:
    virtual ~ISocketFilter() = default;
    virtual CFilterResult Recv(char* pBuffer, int nLength) = 0;
    virtual CFilterResult Send(const char* pData, int nLength) = 0;
    // Ends the sending direction inside the filter (n 0 when done); the socket layer sends
    // the FIN afterwards.
    virtual CFilterResult Shutdown() = 0;
    virtual CFilterReadState ReadState() = 0;
};

// The descriptor of `s` (-1 when it is not a socket), for a filter and its set-up. Only
// while no other thread may close the handle.
int SocketDescriptor(SOCKET s);

// Puts `pFilter` under `s`, once; the descriptor becomes non-blocking underneath and the
// handle keeps the mode the caller sees (ioctlsocket FIONBIO, MSG_DONTWAIT). 0, or
// SOCKET_ERROR (WSAENOTSOCK; WSAEINVAL when a filter is there already). Before the handle is
// used by other threads.
int AttachSocketFilter(SOCKET s, std::unique_ptr<ISocketFilter> pFilter);
// Any thread. Whether a filter is under `s` (false when `s` is not a socket).
bool HasSocketFilter(SOCKET s);

}  // namespace win
