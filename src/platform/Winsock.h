// The socket calls of the program over POSIX sockets, with Winsock's behaviour and error
// codes (WSAGetLastError gives Winsock numbers, 10004 WSAEINTR ... 11001
// WSAHOST_NOT_FOUND).
//
// Sockets are numeric handles that are never reused and never 0; a socket that is closed
// while another thread is blocked in it (accept, recv, a wait) wakes that thread, and its
// descriptor is released only when no call uses it any more. Sends never raise SIGPIPE.
// A handle may carry a filter (SocketFilter.h, TLS for one) that its receives and sends
// pass through.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinError.h"
#include "platform/WinTypes.h"

namespace win {

using SOCKET = std::uint32_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};

// Process-wide start-up and clean-up, counted. Sockets cannot be created while the layer
// is not started (WSANOTINITIALISED).
int WSAStartup(WORD wVersionRequested, WSADATA* pData);
int WSACleanup();

int WSAGetLastError();
void WSASetLastError(int nError);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* pAddr, int nAddrLen);
int listen(SOCKET s, int nBacklog);
SOCKET accept(SOCKET s, sockaddr* pAddr, int* pnAddrLen);
int connect(SOCKET s, const sockaddr* pAddr, int nAddrLen);
int closesocket(SOCKET s);

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
int shutdown(SOCKET s, int how);

int send(SOCKET s, const char* pBuf, int nLen, int nFlags);
int recv(SOCKET s, char* pBuf, int nLen, int nFlags);
int sendto(SOCKET s, const char* pBuf, int nLen, int nFlags, const sockaddr* pTo, int nToLen);
int recvfrom(SOCKET s, char* pBuf, int nLen, int nFlags, sockaddr* pFrom, int* pnFromLen);

int getpeername(SOCKET s, sockaddr* pAddr, int* pnAddrLen);
int getsockname(SOCKET s, sockaddr* pAddr, int* pnAddrLen);
int setsockopt(SOCKET s, int nLevel, int nName, const void* pValue, int nLen);
int getsockopt(SOCKET s, int nLevel, int nName, void* pValue, int* pnLen);

constexpr long FIONREAD_ = 0x4004667F;
constexpr long FIONBIO_ = static_cast<long>(0x8004667Eu);
int ioctlsocket(SOCKET s, long lCommand, unsigned long* pArg);

// The one-socket form of select: waits until `s` is readable (a pending connection, data, a
// close) or writable, up to `pTimeout` (null: no limit). 1 when ready, 0 after the time-out,
// SOCKET_ERROR on failure.
enum class SelectFor { Read, Write };
int select(SOCKET s, SelectFor what, const timeval* pTimeout);

// Several sockets at once (POLLIN, POLLOUT; POLLERR and POLLHUP come back unasked): the
// number of sockets with events, 0 after `nTimeoutMs` (-1: no limit), SOCKET_ERROR on failure.
struct WSAPOLLFD {
    SOCKET fd;
    short events;
    short revents;
};
int WSAPoll(WSAPOLLFD* pFds, unsigned long nFds, int nTimeoutMs);

// Dotted text to a network-order address; INADDR_NONE when the text is not an address.
unsigned long inet_addr(const char* pszText);
// A network-order address as dotted text, in a buffer of the calling thread.
const char* inet_ntoa(in_addr addr);

// Name resolution (IPv4, the first address), thread-safe. 0 on success; SOCKET_ERROR with
// WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY or WSANO_DATA.
int ResolveHostByName(const char* pszName, in_addr* pAddr);
// Every address of a name, IPv4 and IPv6, in the order the system's resolver gives them
// (families without a configured address left out, AI_ADDRCONFIG, unless that leaves
// nothing: a machine whose only IPv6 address is its loopback still reaches "::1"). Errors as
// ResolveHostByName.
int ResolveHostAddresses(const char* pszName, std::vector<sockaddr_storage>* pAddrs);
// The host name of an address; SOCKET_ERROR as above when there is none.
int ResolveHostByAddr(in_addr addr, std::string* pstrName);

// Event model.
using WSAEVENT = HANDLE;
constexpr WSAEVENT WSA_INVALID_EVENT = 0;
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;
constexpr long FD_ALL_EVENTS = 0x3FF;
constexpr DWORD WSA_WAIT_EVENT_0 = 0;
constexpr DWORD WSA_WAIT_TIMEOUT = 258;
constexpr DWORD WSA_WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD WSA_INFINITE = 0xFFFFFFFFu;
constexpr DWORD WSA_MAXIMUM_WAIT_EVENTS = 64;

struct WSANETWORKEVENTS {
    long lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};

// A manual-reset event that network events of selected sockets set.
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT hEvent);
BOOL WSASetEvent(WSAEVENT hEvent);
BOOL WSAResetEvent(WSAEVENT hEvent);

// Selects FD_READ / FD_CLOSE of `s` into `hEvent` and makes the socket non-blocking. FD_READ
// is recorded when data is queued and again after each recv that leaves data queued;
// FD_CLOSE once, with error 0 for an orderly close by the peer and WSAECONNRESET for a
// reset. A socket closed locally sets the event, so that a waiting thread wakes.
int WSAEventSelect(SOCKET s, WSAEVENT hEvent, long lNetworkEvents);

// Waits until one of the events is set (fWaitAll is not supported and must be FALSE).
DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* phEvents, BOOL fWaitAll,
                               DWORD dwTimeout, BOOL fAlertable);

// The network events recorded for `s` since the last call, with their error codes; resets
// `hEvent`.
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT hEvent, WSANETWORKEVENTS* pEvents);

// Number of sockets that are open (for leak checks).
std::size_t OpenSocketCount();

}  // namespace win
