// One socket (IPv4 or IPv6) with synchronous operations bounded by time-outs and an optional
// receive thread whose loop hands read and close events to virtual handlers. Every socket failure
// becomes the text "SOCKET ERROR: %s error = %d. %s", kept in g_szSocketError and, as a
// rule, raised as the application exception.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/SocketAddress.h"
#include "net/SocketError.h"
#include "net/Thread.h"
#include "platform/Winsock.h"
#include "support/Exception.h"

using win::SOCKET;
using win::WSAEVENT;

class CSocketBlocking {
public:
    static constexpr int kReceiveBufferSize = 1024;

    explicit CSocketBlocking(BOOL bThrow = FALSE);
    // Adopts the socket (and loop state) of `src`; afterwards both hold the same handle and
    // only the new object may close it.
    CSocketBlocking(const CSocketBlocking& src, BOOL bThrow);
    // Empties g_szSocketError; closes neither the socket nor the event.
    virtual ~CSocketBlocking();
    CSocketBlocking& operator=(const CSocketBlocking&) = delete;

    // --- virtual slots -----------------------------------------------------------------
    // Receive thread. The receive loop.
    virtual void Proc();
    // Receive thread. The peer closed the connection (0: orderly).
    virtual void OnClose(int nErrorCode);
    // Calling thread. Records the socket error of the last call; raises with bThrow.
    virtual int SetError(const wchar_t* pszContext, BOOL bThrow);
    // Receive thread, after Proc has returned.
    virtual void OnThreadEnd();
    virtual void CloseThreadHandle();
    // Receive thread. Data is queued.
    virtual void OnReceive(int nErrorCode);
    // Receive thread, from Proc once the socket is selected on `ev`: waits for network
    // events and hands them to HandleNetworkEvents until that says the loop is over. A
    // derived class may serve more sockets from the same loop.
    virtual void RunLoop(WSAEVENT ev);
    // Receive thread. The loop ends on a failure of its own (the text is traced already),
    // before it closes the socket: a derived class may choose how the connection ends.
    virtual void OnLoopError(const std::wstring& strError);

    // --- synchronous operations (any thread that owns the object) ------------------------
    static constexpr std::chrono::milliseconds kAttemptDelay{250};

    void Create(int nType = SOCK_STREAM, int nFamily = AF_INET);
    void Bind(const sockaddr_in& addr);
    void Bind(const CSocketAddress& addr);
    void Listen(int nBacklog = 5);
    // Blocks until a connection arrives; false without any text when the listening socket
    // was closed by another thread.
    bool Accept(CSocketBlocking& target, sockaddr_in* pPeerAddr);
    // The same without raising: false with *pnError 0 when the listening socket was closed,
    // false with the Winsock code (its text in g_szSocketError) when accept failed.
    bool Accept(CSocketBlocking& target, sockaddr_in* pPeerAddr, int* pnError);
    // Either family; the peer of a dual-stack socket as it comes (IPv4-mapped for IPv4).
    bool Accept(CSocketBlocking& target, CSocketAddress* pPeerAddr, int* pnError);
    // Any thread. Closes the socket if one is held.
    void Close();
    int Connect(const sockaddr_in& addr, BOOL bThrow);
    int Connect(const CSocketAddress& addr, BOOL bThrow);
    // The host is a dotted IPv4 address, an IPv6 address (with or without brackets) or a
    // name, which is resolved for both families. The addresses are tried in the resolver's
    // order, the families alternating; while one attempt is pending, the next starts after
    // kAttemptDelay (RFC 8305), and the first to connect wins, the others are closed. Each
    // attempt uses a socket of its own, bound to the wildcard address of its family; a
    // socket held before is closed, except that a single address of its family is
    // connected on it. Failures are reported once, after every address has failed: the
    // code of the last failure, its text in g_szSocketError, raised with bThrow.
    int Connect(const wchar_t* lpszHostAddress, int nHostPort, BOOL bThrow);
    // The address that the last successful host-form Connect reached.
    const CSocketAddress& GetConnectedAddress() const { return m_connectedAddr; }

    // Any thread (the receive loop may run). A failure that SetError does not raise
    // returns -1: a block is never reported as sent when it was not.
    int Send(const char* pData, int nLength, int nTimeoutSec, int nFlags);
    int SendAll(const char* pData, int nLength, int nTimeoutSec);
    // Any thread. Sends every byte on socket `h`, waiting up to nTimeoutSec for each part
    // to be taken (0: as long as the connection lives and `fnStop` does not say stop, which
    // is asked every kStopPoll); never raises and leaves g_szSocketError alone. False with
    // the reason in *pstrError ("SOCKET ERROR: ...", "CSocketBlocking. Send timeout." or
    // "CSocketBlocking. Send stopped.").
    static constexpr std::chrono::milliseconds kStopPoll{100};
    static bool SendAllOn(SOCKET h, const char* pData, std::size_t nLength, int nTimeoutSec,
                          std::wstring* pstrError, const std::function<bool()>& fnStop = {});
    // Any thread. Closing the socket will reset the connection (SO_LINGER 0) instead of
    // ending it in order, so that the peer sees an error and not a clean end of stream.
    static void SetResetOnClose(SOCKET h);

    int ReceiveOnce(char* pBuffer, int nSize, int nTimeoutSec, int nFlags);
    int Recv(char* pBuffer, int nSize, int nTimeoutSec, int nFlags);
    int Receive(char* pBuffer, int nSize, int nTimeoutSec, int nFlags);
    int ReceiveDatagram(char* pBuffer, int nSize, sockaddr_in* pFrom, int nTimeoutSec);
    int SendDatagram(const char* pData, int nLength, const sockaddr_in& to, int nTimeoutSec);

    bool GetPeerAddr(sockaddr_in* pAddr);
    bool GetSockAddr(sockaddr_in* pAddr);
    bool GetPeerAddr(CSocketAddress* pAddr);
    bool GetSockAddr(CSocketAddress* pAddr);
    // The address in its usual text ("127.0.0.1", "::1"; IPv4-mapped shown as IPv4).
    bool GetPeerAddrText(std::wstring* pstrAddr, int* pnPort);
    bool GetSockAddrText(std::wstring* pstrAddr, int* pnPort);
    static void GetHostByName(sockaddr_in* pAddr, const char* pszHostName, int nPort);
    static std::string GetHostByAddr(const sockaddr_in& addr);

    // Owner's thread. Starts the receive thread once.
    void StartThread();
    // Instead of StartThread: the calling thread becomes the receive thread, and returns
    // once it has run what that thread runs (Proc, then OnThreadEnd, after which the object
    // may be gone).
    void RunThreadHere();
    // Any thread but the receive thread. Waits up to dwMilliseconds for the loop to be ready,
    // then asks it to stop. Works once per object; raises "ERROR: Wait thread is created
    // timeout\n" when the loop does not get ready in time.
    void StopThread(DWORD dwMilliseconds);
    // Any thread. Signals the loop's event with the stop flag set.
    void SetStopEvent();
    // Any thread; never waits. Asks the receive loop to end: at once when it runs, as soon
    // as it has started when it has not yet (a loop that never starts is not waited for).
    void RequestStop();
    // Any thread. Whether RequestStop has been called; a host-form Connect in progress
    // then gives up with WSAEINTR within a fraction of a second.
    bool IsStopRequested();

    // Records "SOCKET ERROR: <context> error = <code>. <system text>"; raises with bThrow,
    // else returns the code. A code of 0 stands for the calling thread's last error.
    static int SetError(const wchar_t* pszContext, BOOL bThrow, int nErrorCode);
    static int SetError(const std::wstring& strContext, BOOL bThrow, int nErrorCode) {
        return SetError(strContext.c_str(), bThrow, nErrorCode);
    }
    // Formats into g_szSocketError (1,024 units); raises when formatting fails or the text
    // does not fit.
    template <class... A>
    static void SetErrorFormat(const wchar_t* pszFormat, const A&... args) {
        const win::CFormatArg a[] = {win::CFormatArg(args)..., win::CFormatArg(0)};
        SetErrorFormatV(pszFormat, std::span<const win::CFormatArg>(a, sizeof...(A)));
    }
    static void SetErrorFormatV(const wchar_t* pszFormat, std::span<const win::CFormatArg> args);

    // Receive thread. Raises "Socket Receive error: ..." for a non-zero code.
    void CheckReceiveError(int nErrorCode);

    // Entry of the receive thread.
    static DWORD ThreadProc(void* pParameter);

    // The receive thread, after Proc: the error that ended the loop, empty when it ended
    // by a close of the peer, a stop or a close of the socket.
    const std::wstring& GetLoopError() const { return m_strLoopError; }

    SOCKET GetSocket() const { return m_hSocket.load(); }
    WSAEVENT GetEvent() const { return m_ev.load(); }
    bool IsThreadStarted() const { return m_bThreadStarted.load(); }
    bool IsClosing() const { return m_bClosing.load(); }
    MY_FUNCTIONS::CThread& GetThread() { return m_thread; }

    // The thread whose loop receives for this socket. Takes the events the last wait
    // recorded for socket `h` (this object's) on `ev`; raises when that fails.
    win::WSANETWORKEVENTS TakeNetworkEvents(SOCKET h, WSAEVENT ev);
    // The same thread. One round of the loop: hands a read to OnReceive and a close to
    // OnClose (every queued byte first); false when the loop is to end (a close, a stop, a
    // closed socket).
    bool HandleNetworkEvents(const win::WSANETWORKEVENTS& events);

    // The thread of another object's loop, which then receives for this socket too (on its
    // event `ev`) until this object's own loop starts: selects the socket on `ev`, and a
    // stop of this object signals `ev`. Raises when the socket cannot be selected.
    void JoinLoop(WSAEVENT ev);
    // That thread, when it lets go of the socket (before this object's own loop starts, or
    // at the end): the socket leaves the event, which stays open.
    void LeaveLoop();

    // Any thread. Sends what socket `h` takes at once, without waiting: the bytes sent (all
    // of them, nearly always), or -1 with the Winsock code in *pnError.
    static long long SendNowOn(SOCKET h, const char* pData, std::size_t nLength, int* pnError);
    // "SOCKET ERROR: CSocketBlocking::Send(...). error = <code>. <system text>"
    static std::wstring SendErrorText(int nError);

protected:
    // The thread whose loop receives for this socket, after a failure of the loop or its
    // handlers (`strError`, raised by them): records and traces it, then OnLoopError.
    void EndLoopWithError(const std::wstring& strError);
    // Receive thread. Hands every byte still queued to OnReceive before a close is handled,
    // until `fnStop` (when given) says stop.
    void DrainBeforeClose(const std::function<bool()>& fnStop = {});

    std::atomic<SOCKET> m_hSocket;
    char m_szReceive[kReceiveBufferSize];
    std::atomic<WSAEVENT> m_ev;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bClosing;
    std::atomic<bool> m_bThreadStarted;
    BOOL m_bThrow;
    MY_FUNCTIONS::CThread m_thread;

private:
    std::mutex m_evMutex;                // held while m_ev is signalled or closed
    bool m_bStopRequested = false;       // guarded by m_evMutex
    std::wstring m_strLoopError;         // receive thread
    std::uint64_t m_nReceivedBytes = 0;  // the thread that receives: bytes ReceiveOnce gave
    CSocketAddress m_connectedAddr;      // the thread that connects

    // The connecting thread: races the attempts on `order`; 0 with m_hSocket set, or the
    // code of the last failure.
    int ConnectAttempts(const std::vector<CSocketAddress>& order);
};
