// The listening socket: accepts every incoming connection on a thread of its own and hands
// it to the session registry. Exactly one accept thread waits in accept while listening;
// each starts its successor as soon as it has a connection.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "capture/ArrayListen.h"
#include "net/SocketBlocking.h"
#include "net/WinsockInit.h"
#include "platform/Kernel.h"
#include "platform/TextConv.h"
#include "support/SystemErrorText.h"
#include "support/Trace.h"

template <class TSession>
class CSocketListening : public CSocketBlocking {
public:
    CSocketListening() : CSocketBlocking(TRUE) {}
    // Waits (bounded) for accept threads that still run, so that none outlives the listener.
    ~CSocketListening() override { WaitAcceptThreads(std::chrono::seconds(10)); }

    // UI thread. Starts listening on every local interface. Reports failure only through the
    // trace, g_szSocketError and GetListenError; a failing socket-layer start-up raises.
    void Listen(std::uint16_t nPort);

    // The error text of the last Listen, empty after a success. Unlike g_szSocketError, no
    // other thread writes it.
    const std::wstring& GetListenError() const { return m_strListenError; }

    bool IsListening() const { return m_hSocket != 0; }

    // UI thread. Asks every session to stop, then closes the listening socket.
    void CloseListener(bool bCleanup);

    // Accept thread: registers the connection held by the vessel.
    virtual void OnAccept(TSession& vessel) { m_arrayListen.Add(vessel); }

    CArrayListen& GetRegistry() { return m_arrayListen; }

    // Any thread. Whether every accept thread has ended within the time.
    bool WaitAcceptThreads(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_threadsMutex);
        return m_threadsCv.wait_for(lock, timeout, [this] { return m_nAcceptThreads == 0; });
    }

protected:
    CArrayListen m_arrayListen;

private:
    static DWORD AcceptProc(void* pParameter);
    // Starts one more accept thread; false (with the last error set) when it cannot.
    bool StartAcceptThread();
    void AcceptThreadEnded() {
        std::lock_guard lock(m_threadsMutex);
        if (--m_nAcceptThreads == 0) {
            m_threadsCv.notify_all();
        }
    }

    std::wstring m_strListenError;
    std::mutex m_threadsMutex;
    std::condition_variable m_threadsCv;
    int m_nAcceptThreads = 0;  // guarded by m_threadsMutex
};

template <class TSession>
void CSocketListening<TSession>::Listen(std::uint16_t nPort) {
    m_strListenError.clear();
    g_WinsockInit.Startup();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    std::wstring strError;
    try {
        Create(SOCK_STREAM);
        Bind(addr);
        // The system's maximum, not 5: a browser opens six connections at once and a load
        // test fifty; a short queue would drop or reset some of them.
        CSocketBlocking::Listen(SOMAXCONN);
        if (!StartAcceptThread()) {
            strError = L"ERROR: Create AcceptProc thread failed!" + GetLastErrorText();
        }
    } catch (const char* psz) {
        strError = win::AnsiToWide(psz) + L"\n";
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!!\r\nCSocketListening::Listen()");
    }
    if (!strError.empty()) {
        m_strListenError = strError;
        Close();
        Trace(L"%s", strError);
    }
}

template <class TSession>
void CSocketListening<TSession>::CloseListener(bool bCleanup) {
    if (!IsListening()) {
        return;
    }
    try {
        m_arrayListen.CloseAll();
        Close();
        if (bCleanup) {
            g_WinsockInit.Cleanup();
        }
    } catch (const char* psz) {
        Trace(L"%s", win::AnsiToWide(psz) + L"\n");
    }
}

template <class TSession>
bool CSocketListening<TSession>::StartAcceptThread() {
    {
        std::lock_guard lock(m_threadsMutex);
        ++m_nAcceptThreads;
    }
    const HANDLE h = win::CreateThread(&CSocketListening::AcceptProc, this, nullptr);
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
    auto* pListener = static_cast<CSocketListening*>(pParameter);
    {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        TSession vessel;
        std::wstring strError;
        try {
            if (pListener->Accept(vessel, &peer)) {
                if (!pListener->StartAcceptThread()) {
                    throw "ERROR: Create AcceptProc thread failed!";
                }
                Trace(L"Connection accepted");
                pListener->OnAccept(vessel);
            }
        } catch (...) {
            strError = TakeCaughtText(L"Unhandled exception!!!");
        }
        if (!strError.empty()) {
            Trace(L"%s", strError);
            vessel.Close();
        }
    }  // the vessel goes before the listener may
    pListener->AcceptThreadEnded();
    return 0;
}
