// The loop of a session whose server connection needs no thread of its own: one thread
// waits on both sockets and relays each direction as its own thread would.
#include <chrono>

#include "capture/RelayRecords.h"
#include "capture/SocketAccept.h"
#include "capture/SocketClient.h"

namespace {

using Clock = std::chrono::steady_clock;

// The wait's time-out until `deadline`, rounded up so that the deadline has passed when it
// ends.
DWORD MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

void CSocketAccept::RunLoop(WSAEVENT ev) {
    CSocketClient* pClient = m_pClient;
    if (pClient != nullptr && pClient->IsOnSessionThread() && RelayBothWays(*pClient, ev)) {
        return;
    }
    CSocketTelnet::RunLoop(ev);
}

bool CSocketAccept::RelayBothWays(CSocketClient& client, WSAEVENT ev) {
    try {
        client.JoinLoop(ev);
        bool bLocalOpen = true;
        bool bServerOpen = true;
        // Once one peer has closed in order: when the other was last heard from.
        Clock::time_point lastHeard = Clock::now();
        while (bLocalOpen || bServerOpen) {
            DWORD dwTimeout = win::WSA_INFINITE;
            if (!bLocalOpen || !bServerOpen) {
                dwTimeout = MillisecondsUntil(lastHeard + CRelayState::kHalfCloseSilence);
                if (dwTimeout == 0) {
                    break;  // the peer still open went quiet: the session ends in order
                }
            }
            const DWORD dwWait = win::WSAWaitForMultipleEvents(1, &ev, FALSE, dwTimeout, FALSE);
            if (dwWait == win::WSA_WAIT_TIMEOUT) {
                continue;
            }
            if (dwWait == win::WSA_WAIT_FAILED) {
                SetError(L"CSocketBlocking::Proc(...). WSAWaitForMultipleEvents().", TRUE, 0);
            }
            const SOCKET hLocal = GetSocket();
            const SOCKET hServer = client.GetSocket();
            if (hLocal == 0 || hServer == 0 || m_bStop.exchange(false) ||
                client.IsStopRequested()) {
                break;  // aborted (its sockets are closed) or stopped
            }
            if (bLocalOpen) {
                const win::WSANETWORKEVENTS events = TakeNetworkEvents(hLocal, ev);
                const long lEvents = events.lNetworkEvents;
                if (lEvents & win::FD_READ) {
                    OnReceive(events.iErrorCode[win::FD_READ_BIT]);
                    lastHeard = Clock::now();
                    if (!client.IsOnSessionThread()) {
                        // The server's side has a thread of its own now; a close that
                        // came with the block is handled as the base loop handles it.
                        if ((lEvents & win::FD_CLOSE) == 0) {
                            return false;
                        }
                        win::WSANETWORKEVENTS rest = events;
                        rest.lNetworkEvents = win::FD_CLOSE;
                        HandleNetworkEvents(rest);
                        return true;
                    }
                    if (GetSocket() == 0) {
                        break;
                    }
                }
                if (lEvents & win::FD_CLOSE) {
                    DrainBeforeClose();
                    const int nError = events.iErrorCode[win::FD_CLOSE_BIT];
                    const bool bHandedOver = !client.IsOnSessionThread();
                    if (!PassLocalCloseOn(nError)) {
                        if (!client.IsOnSessionThread()) {
                            return true;
                        }
                        break;
                    }
                    if (bHandedOver || !client.IsOnSessionThread()) {
                        AwaitServerSide(nError);
                        return true;
                    }
                    // The server's answer goes on; nothing more comes from the local client.
                    win::WSAEventSelect(hLocal, win::WSA_INVALID_EVENT, 0);
                    bLocalOpen = false;
                    lastHeard = Clock::now();
                }
            }
            if (bServerOpen) {
                switch (client.OnSharedEvents(hServer, ev)) {
                    case CSocketClient::SharedRound::Quiet:
                        break;
                    case CSocketClient::SharedRound::Relayed:
                        lastHeard = Clock::now();
                        break;
                    case CSocketClient::SharedRound::Closed:
                        win::WSAEventSelect(hServer, win::WSA_INVALID_EVENT, 0);
                        bServerOpen = false;
                        lastHeard = Clock::now();
                        break;
                    case CSocketClient::SharedRound::Ended:
                        bServerOpen = false;
                        bLocalOpen = false;
                        break;
                    case CSocketClient::SharedRound::HandedOver:
                        if (!bLocalOpen) {
                            AwaitServerSide(0);
                            return true;
                        }
                        return false;
                }
            }
        }
    } catch (...) {
        // The loop's failure ends the session abortively (OnLoopError), the server's side
        // with it: its socket stays as it is for that.
        if (client.IsOnSessionThread()) {
            client.LeaveLoop();
        }
        throw;
    }
    client.EndShared();
    return true;
}
