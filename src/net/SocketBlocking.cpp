#include "net/SocketBlocking.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/Kernel.h"
#include "platform/TextConv.h"
#include "support/SystemErrorText.h"

namespace {

constexpr int kAddrLen = sizeof(sockaddr_in);  // 16

const sockaddr* AsSockaddr(const sockaddr_in* p) {
    return reinterpret_cast<const sockaddr*>(p);
}
sockaddr* AsSockaddr(sockaddr_in* p) {
    return reinterpret_cast<sockaddr*>(p);
}

timeval Seconds(int nSeconds) {
    return timeval{nSeconds, 0};
}

}  // namespace

CSocketBlocking::CSocketBlocking(BOOL bThrow)
    : m_hSocket(0),
      m_szReceive{},
      m_ev(0),
      m_bStop(false),
      m_bClosing(false),
      m_bThreadStarted(false),
      m_bThrow(bThrow),
      m_thread(true) {}

CSocketBlocking::CSocketBlocking(const CSocketBlocking& src, BOOL bThrow)
    : m_hSocket(src.m_hSocket.load()),
      m_szReceive{},
      m_ev(src.m_ev.load()),
      m_bStop(src.m_bStop.load()),
      m_bClosing(src.m_bClosing.load()),
      m_bThreadStarted(src.m_bThreadStarted.load()),
      m_bThrow(bThrow),
      m_thread(true) {}

CSocketBlocking::~CSocketBlocking() {
    g_szSocketError.Clear();
}

int CSocketBlocking::SetError(const wchar_t* pszContext, BOOL bThrow) {
    return SetError(pszContext, bThrow, 0);
}

int CSocketBlocking::SetError(const wchar_t* pszContext, BOOL bThrow, int nErrorCode) {
    if (nErrorCode == 0) {
        nErrorCode = win::WSAGetLastError();
    }
    // The text of the code being reported (which is the last error unless a caller names
    // another code).
    const std::wstring strSystem = GetSystemErrorText(static_cast<DWORD>(nErrorCode));
    const std::wstring strMessage = win::FormatW(
        L"SOCKET ERROR: %s error = %d. %s", pszContext ? pszContext : L"", nErrorCode, strSystem);
    g_szSocketError.Set(strMessage);
    if (bThrow) {
        throw new CException(strMessage);
    }
    return nErrorCode;
}

void CSocketBlocking::SetErrorFormatV(const wchar_t* pszFormat,
                                      std::span<const win::CFormatArg> args) {
    std::wstring_view format(pszFormat ? pszFormat : L"");
    if (format.size() >= CSocketErrorText::kMaxUnits) {
        format = format.substr(0, CSocketErrorText::kMaxUnits - 1);
    }
    std::wstring strText;
    const HRESULT hr = win::FormatBoundedV(strText, CSocketErrorText::kMaxUnits, format, args);
    g_szSocketError.Set(strText);
    if (hr != 0) {
        throw new CException(
            L"CSocketBlocking::SetError(...) error: StringCchVPrintf(...) failed!");
    }
}

void CSocketBlocking::Create(int nType, int nFamily) {
    if (m_hSocket != 0) {
        StopThread(1000);
    }
    const SOCKET h = win::socket(nFamily, nType, 0);
    if (h == win::INVALID_SOCKET) {
        m_hSocket = 0;
        SetError(L"CSocketBlocking::Create(...).", TRUE, 0);
    }
    m_hSocket = h;
}

void CSocketBlocking::Bind(const sockaddr_in& addr) {
    if (win::bind(m_hSocket, AsSockaddr(&addr), kAddrLen) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::Bind.", TRUE, 0);
    }
}

void CSocketBlocking::Bind(const CSocketAddress& addr) {
    if (win::bind(m_hSocket, addr.Get(), addr.Length()) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::Bind.", TRUE, 0);
    }
}

void CSocketBlocking::Listen(int nBacklog) {
    if (win::listen(m_hSocket, nBacklog) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::Listen.", TRUE, 0);
    }
}

bool CSocketBlocking::Accept(CSocketBlocking& target, sockaddr_in* pPeerAddr) {
    int nError = 0;
    if (Accept(target, pPeerAddr, &nError)) {
        return true;
    }
    if (nError != 0) {
        throw new CException(g_szSocketError.Get());
    }
    return false;
}

bool CSocketBlocking::Accept(CSocketBlocking& target, sockaddr_in* pPeerAddr, int* pnError) {
    CSocketAddress peer;
    const bool bAccepted = Accept(target, &peer, pnError);
    if (bAccepted && pPeerAddr != nullptr) {
        const CSocketAddress in = peer.Unmapped();
        std::memcpy(pPeerAddr, in.Get(), std::min<std::size_t>(sizeof(*pPeerAddr), in.Length()));
    }
    return bAccepted;
}

bool CSocketBlocking::Accept(CSocketBlocking& target, CSocketAddress* pPeerAddr, int* pnError) {
    *pnError = 0;
    const SOCKET hListen = m_hSocket;
    if (hListen == 0) {
        target.m_hSocket = 0;  // closed before the call: nothing to accept from
        return false;
    }
    CSocketAddress peer;
    int nLen = CSocketAddress::kStorageLength;
    const SOCKET h = win::accept(hListen, peer.Get(), &nLen);
    if (h == win::INVALID_SOCKET) {
        const int nError = win::WSAGetLastError();
        target.m_hSocket = 0;
        // WSAEINTR: the listening socket was closed under the waiting accept. A close that
        // came just before the call shows as "not a socket" with our handle already gone;
        // it ends the accept the same way.
        if (nError == WSAEINTR || (nError == WSAENOTSOCK && m_hSocket != hListen)) {
            return false;
        }
        *pnError = SetError(L"CSocketBlocking::Accept.", FALSE, nError);
        return false;
    }
    target.m_hSocket = h;
    if (pPeerAddr != nullptr) {
        *pPeerAddr = peer;
    }
    return true;
}

void CSocketBlocking::Close() {
    const SOCKET h = m_hSocket.exchange(0);
    if (h == 0) {
        return;
    }
    if (win::closesocket(h) == win::SOCKET_ERROR) {
        const int nError = win::WSAGetLastError();
        SOCKET hNone = 0;
        m_hSocket.compare_exchange_strong(hNone, h);  // a failed close keeps the handle
        SetError(L"CSocketBlocking::Close()", TRUE, nError);
    }
}

int CSocketBlocking::Connect(const sockaddr_in& addr, BOOL bThrow) {
    return Connect(CSocketAddress(addr), bThrow);
}

int CSocketBlocking::Connect(const CSocketAddress& addr, BOOL bThrow) {
    if (win::connect(m_hSocket, addr.Get(), addr.Length()) == 0) {
        return 0;
    }
    // The text is recorded first; the socket is closed before anything is raised, so that a
    // failed connection never leaves an open socket behind.
    const int nError = SetError(L"CSocketBlocking::Connect(...).", FALSE, 0);
    const std::wstring strMessage = g_szSocketError.Get();
    Close();
    if (bThrow) {
        throw new CException(strMessage);
    }
    return nError;
}

int CSocketBlocking::Send(const char* pData, int nLength, int nTimeoutSec, int nFlags) {
    const SOCKET h = m_hSocket;
    if (h == 0) {
        return -1;
    }
    const timeval tv = Seconds(nTimeoutSec);
    const int nReady = win::select(h, win::SelectFor::Write, &tv);
    if (nReady == 0) {
        throw new CException(L"CSocketBlocking. Send timeout.");
    }
    const int nSent =
        nReady == win::SOCKET_ERROR ? win::SOCKET_ERROR : win::send(h, pData, nLength, nFlags);
    if (nSent == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::Send(...).", TRUE);
        return -1;  // a derived SetError chose not to raise: nothing more can be sent
    }
    return nSent;
}

bool CSocketBlocking::SendAllOn(SOCKET h, const char* pData, std::size_t nLength, int nTimeoutSec,
                                std::wstring* pstrError, const std::function<bool()>& fnStop) {
    std::size_t nDone = 0;
    while (nDone < nLength) {
        const int nPart = static_cast<int>(std::min<std::size_t>(nLength - nDone, 1 << 30));
        // What the socket takes at once goes without waiting (nearly always all of it);
        // only a full send buffer is waited for, up to the time-out or without one.
        int nSent = win::send(h, pData + nDone, nPart, MSG_DONTWAIT);
        if (nSent == win::SOCKET_ERROR && win::WSAGetLastError() == WSAEWOULDBLOCK) {
            timeval tv = Seconds(nTimeoutSec);
            if (nTimeoutSec <= 0) {
                tv = timeval{0, static_cast<long>(kStopPoll.count()) * 1000};
            }
            const int nReady = win::select(h, win::SelectFor::Write, &tv);
            if (nReady == 0 && nTimeoutSec <= 0) {
                if (fnStop && fnStop()) {
                    *pstrError = L"CSocketBlocking. Send stopped.";
                    return false;
                }
                continue;
            }
            if (nReady == 0) {
                *pstrError = L"CSocketBlocking. Send timeout.";
                return false;
            }
            if (nReady != win::SOCKET_ERROR) {
                continue;
            }
        }
        if (nSent == win::SOCKET_ERROR) {
            *pstrError = SendErrorText(win::WSAGetLastError());
            return false;
        }
        nDone += static_cast<std::size_t>(nSent);
    }
    return true;
}

long long CSocketBlocking::SendNowOn(SOCKET h, const char* pData, std::size_t nLength,
                                     int* pnError) {
    std::size_t nDone = 0;
    while (nDone < nLength) {
        const int nPart = static_cast<int>(std::min<std::size_t>(nLength - nDone, 1 << 30));
        const int nSent = win::send(h, pData + nDone, nPart, MSG_DONTWAIT);
        if (nSent == win::SOCKET_ERROR) {
            const int nError = win::WSAGetLastError();
            if (nError == WSAEWOULDBLOCK) {
                break;
            }
            *pnError = nError;
            return -1;
        }
        nDone += static_cast<std::size_t>(nSent);
    }
    return static_cast<long long>(nDone);
}

std::wstring CSocketBlocking::SendErrorText(int nError) {
    return win::FormatW(L"SOCKET ERROR: %s error = %d. %s", L"CSocketBlocking::Send(...).", nError,
                        GetSystemErrorText(static_cast<DWORD>(nError)));
}

void CSocketBlocking::SetResetOnClose(SOCKET h) {
    const linger lg{1, 0};
    win::setsockopt(h, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
}

int CSocketBlocking::SendAll(const char* pData, int nLength, int nTimeoutSec) {
    if (m_hSocket == 0) {
        return -1;
    }
    int nTotal = 0;
    while (nTotal < nLength) {
        const int nSent = Send(pData + nTotal, nLength - nTotal, nTimeoutSec, 0);
        if (nSent == -1) {
            return -1;
        }
        nTotal += nSent;
    }
    return nTotal;
}

int CSocketBlocking::ReceiveOnce(char* pBuffer, int nSize, int nTimeoutSec, int nFlags) {
    const SOCKET h = m_hSocket;
    if (m_ev.load() != 0) {
        // The receive loop's socket, whose event told that data is there: taken at once,
        // waited for only when it is not there after all.
        const int n = win::recv(h, pBuffer, nSize, nFlags | MSG_DONTWAIT);
        if (n != win::SOCKET_ERROR || win::WSAGetLastError() != WSAEWOULDBLOCK) {
            m_nReceivedBytes += n > 0 ? static_cast<std::uint64_t>(n) : 0;
            return n;
        }
    }
    const timeval tv = Seconds(nTimeoutSec);
    win::select(h, win::SelectFor::Read, &tv);  // the outcome does not matter: recv tells
    const int n = win::recv(h, pBuffer, nSize, nFlags);
    m_nReceivedBytes += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    return n;
}

int CSocketBlocking::Recv(char* pBuffer, int nSize, int nTimeoutSec, int nFlags) {
    const int n = ReceiveOnce(pBuffer, nSize, nTimeoutSec, nFlags);
    if (n == -1) {
        SetError(L"CSocketBlocking::Recv(...).", TRUE, 0);
    }
    return n;
}

int CSocketBlocking::Receive(char* pBuffer, int nSize, int nTimeoutSec, int nFlags) {
    for (;;) {
        if (m_hSocket == 0) {
            return -1;
        }
        const int n = ReceiveOnce(pBuffer, nSize, nTimeoutSec, nFlags);
        if (n != -1) {
            return n;
        }
        // Only "nothing there yet" is waited out; a failure that persists (a reset, a
        // closed socket) is reported like Recv does, so the repetition always ends.
        const int nError = win::WSAGetLastError();
        if (nError != WSAEWOULDBLOCK && nError != WSAEINTR) {
            SetError(L"CSocketBlocking::Receive(...).", TRUE);
            return -1;
        }
    }
}

int CSocketBlocking::ReceiveDatagram(char* pBuffer, int nSize, sockaddr_in* pFrom,
                                     int nTimeoutSec) {
    const timeval tv = Seconds(nTimeoutSec);
    const int nReady = win::select(m_hSocket, win::SelectFor::Read, &tv);
    if (nReady == 0) {
        throw new CException(L"CSocketBlocking. Receive timeout.");
    }
    int nLen = kAddrLen;
    const int n =
        win::recvfrom(m_hSocket, pBuffer, nSize, 0, AsSockaddr(pFrom), pFrom ? &nLen : nullptr);
    if (n == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::ReceiveDatagram(...).", TRUE, 0);
    }
    return n;
}

int CSocketBlocking::SendDatagram(const char* pData, int nLength, const sockaddr_in& to,
                                  int nTimeoutSec) {
    const timeval tv = Seconds(nTimeoutSec);
    const int nReady = win::select(m_hSocket, win::SelectFor::Write, &tv);
    if (nReady == 0) {
        throw new CException(L"CSocketBlocking. Send timeout.");
    }
    const int n = win::sendto(m_hSocket, pData, nLength, 0, AsSockaddr(&to), kAddrLen);
    if (n == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::SendDatagram(...).", TRUE, 0);
    }
    return n;
}

bool CSocketBlocking::GetPeerAddr(sockaddr_in* pAddr) {
    int nLen = kAddrLen;
    if (win::getpeername(m_hSocket, AsSockaddr(pAddr), &nLen) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::GetPeerAddr(...).", TRUE, 0);
    }
    return true;
}

bool CSocketBlocking::GetSockAddr(sockaddr_in* pAddr) {
    if (m_hSocket == 0) {
        return false;
    }
    int nLen = kAddrLen;
    if (win::getsockname(m_hSocket, AsSockaddr(pAddr), &nLen) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::GetSockAddr(...).", TRUE, 0);
    }
    return true;
}

bool CSocketBlocking::GetPeerAddr(CSocketAddress* pAddr) {
    int nLen = CSocketAddress::kStorageLength;
    if (win::getpeername(m_hSocket, pAddr->Get(), &nLen) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::GetPeerAddr(...).", TRUE, 0);
    }
    return true;
}

bool CSocketBlocking::GetSockAddr(CSocketAddress* pAddr) {
    if (m_hSocket == 0) {
        return false;
    }
    int nLen = CSocketAddress::kStorageLength;
    if (win::getsockname(m_hSocket, pAddr->Get(), &nLen) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::GetSockAddr(...).", TRUE, 0);
    }
    return true;
}

bool CSocketBlocking::GetPeerAddrText(std::wstring* pstrAddr, int* pnPort) {
    CSocketAddress addr;
    if (!GetPeerAddr(&addr)) {
        return false;
    }
    *pstrAddr = addr.Text();
    *pnPort = addr.Port();
    return true;
}

bool CSocketBlocking::GetSockAddrText(std::wstring* pstrAddr, int* pnPort) {
    CSocketAddress addr;
    if (!GetSockAddr(&addr)) {
        return false;
    }
    *pstrAddr = addr.Text();
    *pnPort = addr.Port();
    return true;
}

void CSocketBlocking::GetHostByName(sockaddr_in* pAddr, const char* pszHostName, int nPort) {
    in_addr addr{};
    if (win::ResolveHostByName(pszHostName, &addr) != 0) {
        SetError(L"CSocketBlocking::GetHostByName(...).", TRUE, 0);
    }
    std::memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sin_family = AF_INET;
    pAddr->sin_port = htons(static_cast<uint16_t>(nPort));
    pAddr->sin_addr = addr;
}

std::string CSocketBlocking::GetHostByAddr(const sockaddr_in& addr) {
    std::string strName;
    if (win::ResolveHostByAddr(addr.sin_addr, &strName) != 0) {
        SetError(L"CSocketBlocking::GetHostByAddr(...).", TRUE, 0);
    }
    return strName;
}

void CSocketBlocking::StartThread() {
    if (m_bThreadStarted.exchange(true)) {
        return;
    }
    m_thread.Start(&CSocketBlocking::ThreadProc, this);
}

void CSocketBlocking::RunThreadHere() {
    if (m_bThreadStarted.exchange(true)) {
        return;
    }
    ThreadProc(this);
    win::RunThreadEndHooks();  // what a thread of its own would free at its end
}

void CSocketBlocking::StopThread(DWORD dwMilliseconds) {
    if (m_hSocket == 0 || m_bClosing.exchange(true)) {
        return;
    }
    m_thread.WaitStarted(dwMilliseconds, true);
    if (m_ev != 0) {
        SetStopEvent();
    }
}

void CSocketBlocking::SetStopEvent() {
    std::lock_guard lock(m_evMutex);
    const WSAEVENT ev = m_ev;
    if (m_bStop || ev == 0) {
        return;
    }
    m_bStop = true;
    if (!win::WSASetEvent(ev)) {
        SetError(win::FormatW(L"CSocketBlocking::SetStopEvent(); WSASetEvent(m_ev = 0x%x)", ev),
                 TRUE, 0);
    }
}

void CSocketBlocking::RequestStop() {
    std::lock_guard lock(m_evMutex);
    m_bStopRequested = true;
    const WSAEVENT ev = m_ev;
    if (ev != 0 && !m_bStop) {
        m_bStop = true;
        win::WSASetEvent(ev);
    }
}

bool CSocketBlocking::IsStopRequested() {
    std::lock_guard lock(m_evMutex);
    return m_bStopRequested;
}

void CSocketBlocking::CheckReceiveError(int nErrorCode) {
    if (nErrorCode == 0) {
        return;
    }
    const wchar_t* pszText =
        nErrorCode == WSAENETDOWN
            ? L"The Windows Sockets implementation detected that the network subsystem failed."
            : L"Unknown error.";
    throw new CException(std::wstring(L"Socket Receive error: ") + pszText);
}

void CSocketBlocking::OnReceive(int nErrorCode) {
    CheckReceiveError(nErrorCode);
    Receive(m_szReceive, kReceiveBufferSize, 10, 0);
}

void CSocketBlocking::OnThreadEnd() {}

void CSocketBlocking::CloseThreadHandle() {
    m_thread.ReleaseHandle();
}
