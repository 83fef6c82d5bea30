// The receive thread of CSocketBlocking: its entry, its loop and the close handler.
#include "net/SocketBlocking.h"
#include "platform/TextConv.h"
#include "support/Trace.h"

DWORD CSocketBlocking::ThreadProc(void* pParameter) {
    auto* pThis = static_cast<CSocketBlocking*>(pParameter);
    std::wstring strError;
    try {
        pThis->Proc();
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!! CSocketBlocking::ThreadProc(...)");
    }
    if (!strError.empty()) {
        Trace(L"%s", strError);
    }
    pThis->OnThreadEnd();
    return 0;
}

void CSocketBlocking::Proc() {
    std::wstring strError;
    m_bStop = false;
    m_strLoopError.clear();
    g_szSocketError.Clear();
    try {
        const WSAEVENT ev = win::WSACreateEvent();
        if (ev == win::WSA_INVALID_EVENT) {
            SetError(L"CSocketBlocking::Proc(...). WSACreateEvent().", TRUE, 0);
        }
        {
            std::lock_guard lock(m_evMutex);
            m_ev = ev;
            // A stop asked for before the loop had its event ends it before it waits.
            m_bStop = m_bStop || m_bStopRequested;
            if (m_bStop) {
                win::WSASetEvent(ev);
            }
        }
        if (win::WSAEventSelect(m_hSocket, ev, win::FD_READ | win::FD_CLOSE) == win::SOCKET_ERROR) {
            SetError(L"CSocketBlocking::Proc(...). WSAEventSelect().", TRUE, 0);
        }
        // From here on the socket is non-blocking; a stopper may now signal the event.
        m_thread.SetStarted();
        RunLoop(ev);
    } catch (...) {
        strError = TakeCaughtText(L"Unhandled exception!!! CSocketBlocking::Proc()");
    }
    if (!strError.empty()) {
        EndLoopWithError(strError);
    }

    // Clean-up, always: the socket, the event, the thread handle.
    const SOCKET h = m_hSocket.exchange(0);
    if (h != 0) {
        win::closesocket(h);
    }
    {
        std::lock_guard lock(m_evMutex);
        const WSAEVENT ev = m_ev.exchange(0);
        if (ev != 0) {
            win::WSACloseEvent(ev);
        }
    }
    m_thread.ReleaseHandle();
}

void CSocketBlocking::EndLoopWithError(const std::wstring& strError) {
    m_strLoopError = strError;
    g_szSocketError.Set(strError);
    Trace(L"%s", strError);
    try {
        OnLoopError(strError);
    } catch (...) {
        Trace(L"%s", TakeCaughtText(L"Unhandled exception!!! CSocketBlocking::Proc()"));
    }
}

void CSocketBlocking::RunLoop(WSAEVENT ev) {
    for (;;) {
        const DWORD dwWait = win::WSAWaitForMultipleEvents(1, &ev, FALSE, win::WSA_INFINITE, FALSE);
        if (dwWait == win::WSA_WAIT_TIMEOUT) {
            continue;
        }
        if (dwWait == win::WSA_WAIT_FAILED) {
            // Not a close: the other side must learn that this one stopped relaying.
            SetError(L"CSocketBlocking::Proc(...). WSAWaitForMultipleEvents().", TRUE, 0);
        }
        const SOCKET h = m_hSocket;
        if (h == 0) {
            break;
        }
        if (!HandleNetworkEvents(TakeNetworkEvents(h, ev))) {
            break;
        }
    }
}

win::WSANETWORKEVENTS CSocketBlocking::TakeNetworkEvents(SOCKET h, WSAEVENT ev) {
    win::WSANETWORKEVENTS events{};
    if (win::WSAEnumNetworkEvents(h, ev, &events) == win::SOCKET_ERROR) {
        SetError(win::FormatW(L"CSocketBlocking::Proc(); ::WSAEnumNetworkEvents(m_hSocket = "
                              L"0x%x, m_ev, &WSAEvents) failed!",
                              h),
                 TRUE, 0);
    }
    return events;
}

bool CSocketBlocking::HandleNetworkEvents(const win::WSANETWORKEVENTS& events) {
    const long lEvents = events.lNetworkEvents;
    if (lEvents & win::FD_READ) {
        if (m_hSocket == 0) {
            return false;
        }
        if (m_bStop.exchange(false)) {
            return false;
        }
        OnReceive(events.iErrorCode[win::FD_READ_BIT]);
        if (lEvents == win::FD_READ) {
            return true;
        }
    }
    if (lEvents & win::FD_CLOSE) {
        DrainBeforeClose();
        OnClose(events.iErrorCode[win::FD_CLOSE_BIT]);
        return false;
    }
    if (lEvents & win::FD_ALL_EVENTS) {
        return false;
    }
    // No network event: the event was set by SetStopEvent (or spuriously).
    return !m_bStop.exchange(false);
}

void CSocketBlocking::JoinLoop(WSAEVENT ev) {
    {
        std::lock_guard lock(m_evMutex);
        m_ev = ev;
        if (m_bStopRequested && !m_bStop) {
            m_bStop = true;
            win::WSASetEvent(ev);
        }
    }
    if (win::WSAEventSelect(m_hSocket, ev, win::FD_READ | win::FD_CLOSE) == win::SOCKET_ERROR) {
        SetError(L"CSocketBlocking::JoinLoop(...). WSAEventSelect().", TRUE, 0);
    }
}

void CSocketBlocking::LeaveLoop() {
    if (const SOCKET h = m_hSocket; h != 0) {
        win::WSAEventSelect(h, win::WSA_INVALID_EVENT, 0);
    }
    std::lock_guard lock(m_evMutex);
    m_ev = 0;
}

void CSocketBlocking::OnLoopError(const std::wstring&) {}

void CSocketBlocking::DrainBeforeClose(const std::function<bool()>& fnStop) {
    // The peer may have closed right behind more data than one OnReceive takes; every byte
    // still queued is handed on before the close is handled.
    for (;;) {
        const SOCKET h = m_hSocket;
        unsigned long ulBefore = 0;
        if (h == 0 || m_bStop || (fnStop && fnStop()) ||
            win::ioctlsocket(h, win::FIONREAD_, &ulBefore) != 0 || ulBefore == 0) {
            return;
        }
        const std::uint64_t nReceivedBefore = m_nReceivedBytes;
        OnReceive(0);
        unsigned long ulAfter = 0;
        if (m_hSocket == 0 || win::ioctlsocket(m_hSocket, win::FIONREAD_, &ulAfter) != 0) {
            return;
        }
        // A socket with a filter counts what one record gives at a time, so the count
        // may stay as it was although the handler took many records.
        if (ulAfter >= ulBefore && m_nReceivedBytes == nReceivedBefore) {
            return;  // the handler took nothing: do not spin
        }
    }
}

void CSocketBlocking::OnClose(int nErrorCode) {
    m_bThreadStarted = false;
    if (nErrorCode == 0) {
        return;
    }
    const wchar_t* pszText;
    switch (nErrorCode) {
        case WSAENETDOWN:
            pszText =
                L"The Windows Sockets implementation detected that the network subsystem "
                L"failed";
            break;
        case WSAECONNABORTED:
            pszText = L"The connection was aborted due to timeout or other failure";
            break;
        case WSAECONNRESET:
            pszText = L"The connection was reset by the remote side";
            break;
        default:
            pszText = L"Unknown error";
            break;
    }
    const std::wstring strMessage =
        win::FormatW(L"ERROR: Close socket. %s. thread = 0x%x\n", pszText, m_thread.GetHandle());
    if (m_bThrow) {
        throw new CException(strMessage);
    }
    SetErrorFormat(strMessage.c_str());
}
