// The listening socket: accepts every incoming connection and hands it to the session
// registry. Accept threads wait for connections on each listening socket; the thread that
// accepts one serves that session itself, with no hand-over to another thread, as long as
// another thread waits for the next connection (one is started when none does).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "capture/ArrayListen.h"
#include "capture/ServerMemo.h"
#include "module/MyModule.h"
#include "net/ListenAddress.h"
#include "net/SocketBlocking.h"
#include "net/WinsockInit.h"
#include "platform/Kernel.h"
#include "platform/TextConv.h"
#include "support/ResourceStrings.h"
#include "support/ShowMessage.h"
#include "support/SystemErrorText.h"
#include "support/Trace.h"

template <class TSession>
class CSocketListening : public CSocketBlocking {
public:
    CSocketListening() : CSocketBlocking(TRUE) {}
    // Waits (bounded) for accept threads that still run, so that none outlives the listener.
    ~CSocketListening() override { WaitAcceptThreads(std::chrono::seconds(10)); }

    // UI thread. Starts listening on the addresses that `where` names (every interface by
    // default: one socket for both families where IPv6 is on). Reports failure only
    // through the trace, g_szSocketError and GetListenError; a failing socket-layer start-up
    // raises.
    void Listen(std::uint16_t nPort, const CListenAddress& where = CListenAddress::All());

    // After a successful Listen: on which addresses it listens, as a line for the user.
    const std::wstring& GetListenDescription() const { return m_strDescription; }

    // The error text of the last Listen, empty after a success. Unlike g_szSocketError, no
    // other thread writes it.
    const std::wstring& GetListenError() const { return m_strListenError; }

    bool IsListening() const { return m_hSocket != 0; }
    // The socket of the second family when two are bound ("local"), else none.
    CSocketBlocking& GetSecondSocket() { return m_second; }

    // UI thread. Asks every session to stop, then closes the listening socket.
    void CloseListener(bool bCleanup);

    // Accept thread: registers the connection held by the vessel. With `ppRunHere`, the
    // session is left for the caller to run (*ppRunHere, null when it was refused); else
    // its thread starts at once.
    virtual void OnAccept(TSession& vessel, TSession** ppRunHere = nullptr) {
        TSession* pSession = m_arrayListen.Add(vessel, ppRunHere != nullptr);
        if (ppRunHere != nullptr) {
            *ppRunHere = pSession;
        }
    }

    CArrayListen& GetRegistry() { return m_arrayListen; }

    // Any thread. Whether every accept thread has ended within the time.
    bool WaitAcceptThreads(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_threadsMutex);
        return m_threadsCv.wait_for(lock, timeout, [this] { return m_nAcceptThreads == 0; });
    }

protected:
    CArrayListen m_arrayListen;

private:
    static constexpr std::chrono::milliseconds kMinBackoff{5};
    static constexpr std::chrono::milliseconds kMaxBackoff{1000};

    // Whether a failed accept means that the listening socket itself is gone.
    static bool IsListenerGone(int nError) {
        return nError == WSAENOTSOCK || nError == WSAEINVAL || nError == WSAEOPNOTSUPP ||
               nError == WSAEFAULT || nError == WSAEBADF;
    }
    // Accept thread. Listening cannot go on: it is stopped (on the UI thread) and the
    // reason shown.
    void OnListenerFailed(const std::wstring& strReason);
    // Accept thread. Waits for `time` unless listening stops first; whether it still runs.
    bool WaitWhileListening(std::chrono::milliseconds time) {
        std::unique_lock lock(m_threadsMutex);
        return !m_threadsCv.wait_for(lock, time, [this] { return m_bClosing; });
    }

    // One listening socket and the listener it belongs to: the argument of its accept
    // threads.
    struct CAcceptSide {
        CSocketListening* pListener;
        CSocketBlocking* pSocket;
    };

    // UI thread. Binds and listens on one address with `socket`; raises the socket error.
    static void ListenOn(CSocketBlocking& socket, const CSocketAddress& addr);
    // UI thread. Whether an IPv6 socket can be made and bound on this machine.
    static bool IsIpv6On();

    static DWORD AcceptProc(void* pParameter);
    // Accept threads, around a wait in Accept on `pSide` (guarded by m_threadsMutex).
    // EndAccepting: whether no other thread waits on that side while listening goes on.
    void BeginAccepting(CAcceptSide* pSide) {
        std::lock_guard lock(m_threadsMutex);
        ++m_nWaiting[SideIndex(pSide)];
    }
    bool EndAccepting(CAcceptSide* pSide) {
        std::lock_guard lock(m_threadsMutex);
        return --m_nWaiting[SideIndex(pSide)] == 0 && !m_bClosing;
    }
    // Accept thread, after serving a session: whether it goes back to accepting (listening
    // goes on and fewer than kMaxWaiting threads wait) or ends.
    bool KeepAccepting(CAcceptSide* pSide) {
        std::lock_guard lock(m_threadsMutex);
        return !m_bClosing && m_nWaiting[SideIndex(pSide)] < kMaxWaiting;
    }
    int SideIndex(const CAcceptSide* pSide) const { return pSide == &m_sides[0] ? 0 : 1; }
    // Starts one more accept thread on a side; false (with the last error set) when it
    // cannot.
    bool StartAcceptThread(CAcceptSide* pSide);
    void AcceptThreadEnded() {
        std::lock_guard lock(m_threadsMutex);
        if (--m_nAcceptThreads == 0) {
            m_threadsCv.notify_all();
        }
    }

    std::wstring m_strListenError;
    std::wstring m_strDescription;
    CSocketBlocking m_second{TRUE};
    CAcceptSide m_sides[2] = {{this, this}, {this, &m_second}};
    std::mutex m_threadsMutex;
    std::condition_variable m_threadsCv;
    int m_nAcceptThreads = 0;  // guarded by m_threadsMutex
    // Per side, guarded by m_threadsMutex: threads waiting in Accept. Two keep a steady
    // stream of one connection after another from starting threads: one waits while the
    // other still ends the last session.
    static constexpr int kMaxWaiting = 2;
    int m_nWaiting[2] = {0, 0};
    bool m_bClosing = false;  // guarded by m_threadsMutex: CloseListener has begun
};

template <class TSession>
bool CSocketListening<TSession>::IsIpv6On() {
    // A machine with IPv6 switched off either has no such sockets or no address to bind.
    const SOCKET h = win::socket(AF_INET6, SOCK_STREAM, 0);
    if (h == win::INVALID_SOCKET) {
        return false;
    }
    const CSocketAddress loopback = CSocketAddress::Loopback(AF_INET6, 0);
    const bool bOn = win::bind(h, loopback.Get(), loopback.Length()) == 0 ||
                     win::WSAGetLastError() != WSAEADDRNOTAVAIL;
    win::closesocket(h);
    return bOn;
}

template <class TSession>
void CSocketListening<TSession>::ListenOn(CSocketBlocking& socket, const CSocketAddress& addr) {
    socket.Create(SOCK_STREAM, addr.Family());
    if (addr.Family() == AF_INET6) {
        // "::" takes IPv4 clients too (as IPv4-mapped addresses); "::1" is IPv6 only, its
        // IPv4 twin has a socket of its own.
        const int nV6Only = addr.IsAny() ? 0 : 1;
        win::setsockopt(socket.GetSocket(), IPPROTO_IPV6, IPV6_V6ONLY, &nV6Only, sizeof(nV6Only));
    }
    socket.Bind(addr);
    // The system's maximum, not 5: a browser opens six connections at once and a load
    // test fifty; a short queue would drop or reset some of them.
    socket.Listen(SOMAXCONN);
}

template <class TSession>
void CSocketListening<TSession>::Listen(std::uint16_t nPort, const CListenAddress& where) {
    m_strListenError.clear();
    m_strDescription.clear();
    ServerMemo().Forget();  // each listening run remembers its servers afresh
    {
        std::lock_guard lock(m_threadsMutex);
        m_bClosing = false;
    }
    m_arrayListen.Open();
    g_WinsockInit.Startup();
    std::wstring strError;
    try {
        const bool bIpv6 = where.GetKind() == CListenAddress::Kind::Address || IsIpv6On();
        const std::vector<CSocketAddress> addrs = where.BindAddresses(nPort, bIpv6);
        ListenOn(*this, addrs[0]);
        if (addrs.size() > 1) {
            ListenOn(m_second, addrs[1]);
        }
        m_strDescription = where.Describe(addrs);
        if (!StartAcceptThread(&m_sides[0]) ||
            (m_second.GetSocket() != 0 && !StartAcceptThread(&m_sides[1]))) {
            strError = L"ERROR: Create AcceptProc thread failed!" + GetLastErrorText();
        }
    } catch (const char* psz) {
        strError = win::AnsiToWide(psz) + L"\n";
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!!\r\nCSocketListening::Listen()");
    }
    if (!strError.empty()) {
        m_strListenError = strError;
        m_strDescription.clear();
        Close();
        m_second.Close();
        Trace(L"%s", strError);
    }
}

template <class TSession>
void CSocketListening<TSession>::CloseListener(bool bCleanup) {
    if (!IsListening()) {
        return;
    }
    {
        // An accept thread waiting before it tries again ends at once.
        std::lock_guard lock(m_threadsMutex);
        m_bClosing = true;
        m_threadsCv.notify_all();
    }
    try {
        m_arrayListen.CloseAll();
        Close();
        m_second.Close();
        if (bCleanup) {
            g_WinsockInit.Cleanup();
        }
    } catch (const char* psz) {
        Trace(L"%s", win::AnsiToWide(psz) + L"\n");
    }
}

template <class TSession>
void CSocketListening<TSession>::OnListenerFailed(const std::wstring& strReason) {
    std::wstring strText = LoadResourceString(141) + L"\n" + strReason;
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r')) {
        strText.pop_back();
    }
    Trace(L"%s", strText);
    g_Module.StopListening();
    ShowMessage(strText, MB_ICONERROR, static_cast<HWND>(g_Module.GetMainWindow()));
}

template <class TSession>
bool CSocketListening<TSession>::StartAcceptThread(CAcceptSide* pSide) {
    {
        std::lock_guard lock(m_threadsMutex);
        ++m_nAcceptThreads;
    }
    const HANDLE h = win::CreateThread(&CSocketListening::AcceptProc, pSide, nullptr);
    if (h == 0) {
        const DWORD dwError = win::GetLastError();
        AcceptThreadEnded();
        win::SetLastError(dwError);
        return false;
    }
    win::CloseHandle(h);  // detached: nobody waits for it by handle
    return true;
}

template <class TSession>
DWORD CSocketListening<TSession>::AcceptProc(void* pParameter) {
    auto* pSide = static_cast<CAcceptSide*>(pParameter);
    CSocketListening* pListener = pSide->pListener;
    std::chrono::milliseconds backoff(0);
    for (bool bAgain = true; bAgain;) {
        bAgain = false;
        CSocketAddress peer;
        TSession vessel;
        TSession* pSession = nullptr;  // accepted, to be served on this thread
        std::wstring strError;
        try {
            int nError = 0;
            pListener->BeginAccepting(pSide);
            const bool bAccepted = pSide->pSocket->Accept(vessel, &peer, &nError);
            const bool bNoneWaits = pListener->EndAccepting(pSide);
            if (bAccepted) {
                backoff = std::chrono::milliseconds(0);
                bAgain = true;
                if (IsTraceWanted()) {
                    Trace(L"Connection accepted from %s", peer.TextWithPort());
                }
                // This thread serves the session while another waits for the next
                // connection; without one, the session gets a thread of its own.
                if (!bNoneWaits || pListener->StartAcceptThread(pSide)) {
                    pListener->OnAccept(vessel, &pSession);
                } else {
                    pListener->OnAccept(vessel);
                }
            } else if (nError != 0) {
                const std::wstring strText = g_szSocketError.Get();
                if (IsListenerGone(nError)) {
                    pListener->OnListenerFailed(strText);
                } else {
                    // Out of descriptors, buffers or memory, or a connection that went
                    // away while it waited: all pass. Wait a little longer each time it
                    // repeats, then accept again.
                    backoff = std::min<std::chrono::milliseconds>(
                        std::max<std::chrono::milliseconds>(backoff * 2, kMinBackoff), kMaxBackoff);
                    Trace(L"%s Accepting again in %d ms.", strText,
                          static_cast<int>(backoff.count()));
                    bAgain = pListener->WaitWhileListening(backoff);
                }
            }
        } catch (...) {
            strError = TakeCaughtText(L"Unhandled exception!!!");
        }
        if (!strError.empty() && pSession == nullptr) {
            // The connection is let go, with a reset so that the client does not take the
            // close for an empty answer; accepting goes on while listening does.
            Trace(L"%s", strError);
            if (const SOCKET h = vessel.GetSocket(); h != 0) {
                CSocketBlocking::SetResetOnClose(h);
            }
            vessel.Close();
            bAgain = pListener->WaitWhileListening(std::chrono::milliseconds(0));
        } else if (!strError.empty()) {
            Trace(L"%s", strError);  // after the session was registered: it runs all the same
        }
        if (pSession != nullptr) {
            pSession->RunThreadHere();
            bAgain = pListener->KeepAccepting(pSide);
        }
    }  // the vessel goes before the listener may
    pListener->AcceptThreadEnded();
    return 0;
}
