// The host form of Connect: resolution for both families and the race of the attempts.
#include <poll.h>

#include <algorithm>

#include "net/HostResolver.h"
#include "net/SocketBlocking.h"
#include "platform/TextConv.h"

namespace {

// While every attempt has started, the wait is cut into slices so that a stop request is
// seen; the attempts themselves end with the system's connect time-out.
constexpr int kStopCheckMs = 200;

struct CAttempt {
    SOCKET h;
    CSocketAddress addr;
};

int FamilyOf(SOCKET h) {
    CSocketAddress addr;
    int nLen = CSocketAddress::kStorageLength;
    if (win::getsockname(h, addr.Get(), &nLen) == win::SOCKET_ERROR) {
        return AF_UNSPEC;
    }
    return addr.Family();
}

void SetBlocking(SOCKET h, bool bBlocking) {
    unsigned long nNonBlocking = bBlocking ? 0 : 1;
    win::ioctlsocket(h, win::FIONBIO_, &nNonBlocking);
}

}  // namespace

int CSocketBlocking::Connect(const wchar_t* lpszHostAddress, int nHostPort, BOOL bThrow) {
    const std::wstring strHost(lpszHostAddress ? lpszHostAddress : L"");
    const std::string strHostA = win::WideToAnsi(strHost);
    const auto nPort = static_cast<std::uint16_t>(nHostPort);
    std::vector<CSocketAddress> addrs;
    if (const std::optional<CSocketAddress> literal = CSocketAddress::Parse(strHostA, nPort)) {
        addrs.push_back(*literal);  // an address is never looked up
    } else if (const int nError = ResolveHost(strHostA, nPort, &addrs); nError != 0) {
        const std::wstring strContext =
            win::FormatW(L"CSocketBlocking::Connect(lpszHostAddress = '%s', nHostPort = %d).",
                         strHost, nHostPort);
        return SetError(strContext, bThrow, nError);
    }
    int nError = 0;
    const SOCKET hHeld = m_hSocket;
    if (hHeld != 0 && addrs.size() == 1 && FamilyOf(hHeld) == addrs.front().Family()) {
        // One address of the socket's own family: connected on the socket as it is.
        nError = Connect(addrs.front(), FALSE);
        if (nError == 0) {
            m_connectedAddr = addrs.front();
        }
    } else {
        if (hHeld != 0) {
            Close();
        }
        nError = ConnectAttempts(InterleaveFamilies(addrs));
    }
    if (nError != 0 && bThrow) {
        throw CException::Format(L"%s Host Address: '%s', Host Port = %d", g_szSocketError.Get(),
                                 strHost, nHostPort);
    }
    return nError;
}

int CSocketBlocking::ConnectAttempts(const std::vector<CSocketAddress>& order) {
    std::vector<CAttempt> pending;
    std::size_t nNext = 0;
    int nLastError = WSAEHOSTUNREACH;
    const auto dropAttempt = [&](std::size_t i) {
        win::closesocket(pending[i].h);
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    };
    SOCKET hWinner = 0;
    CSocketAddress winnerAddr;
    try {
        while (hWinner == 0) {
            if (IsStopRequested()) {
                nLastError = WSAEINTR;
                break;
            }
            if (nNext < order.size()) {
                // The next attempt: at once for the first, after a failure, or when the
                // pending ones have been silent for kAttemptDelay.
                const CSocketAddress& addr = order[nNext++];
                const SOCKET h = win::socket(addr.Family(), SOCK_STREAM, 0);
                if (h == win::INVALID_SOCKET) {
                    const int nError = win::WSAGetLastError();
                    if (nError == WSAEAFNOSUPPORT) {
                        nLastError = nError;  // the family is off on this machine
                        continue;
                    }
                    SetError(L"CSocketBlocking::Create(...).", TRUE, nError);
                }
                pending.push_back({h, addr});
                const CSocketAddress any = CSocketAddress::Any(addr.Family(), 0);
                if (win::bind(h, any.Get(), any.Length()) == win::SOCKET_ERROR) {
                    SetError(L"CSocketBlocking::Bind.", TRUE, 0);
                }
                SetBlocking(h, false);
                if (win::connect(h, addr.Get(), addr.Length()) == 0) {
                    hWinner = h;
                    winnerAddr = addr;
                    pending.pop_back();
                    break;
                }
                if (const int nError = win::WSAGetLastError(); nError != WSAEWOULDBLOCK) {
                    nLastError = nError;
                    dropAttempt(pending.size() - 1);
                    continue;
                }
            }
            if (pending.empty()) {
                if (nNext >= order.size()) {
                    break;  // every address has failed
                }
                continue;
            }
            std::vector<win::WSAPOLLFD> fds;
            for (const CAttempt& attempt : pending) {
                fds.push_back({attempt.h, POLLOUT, 0});
            }
            const int nWait =
                nNext < order.size() ? static_cast<int>(kAttemptDelay.count()) : kStopCheckMs;
            if (win::WSAPoll(fds.data(), fds.size(), nWait) == win::SOCKET_ERROR) {
                SetError(L"CSocketBlocking::Connect(...).", TRUE, 0);
            }
            for (std::size_t i = fds.size(); i-- > 0;) {
                if (fds[i].revents == 0) {
                    continue;
                }
                int nError = 0;
                int nLen = sizeof(nError);
                if (win::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &nError, &nLen) ==
                    win::SOCKET_ERROR) {
                    nError = win::WSAGetLastError();
                }
                if (nError == 0 && (fds[i].revents & (POLLERR | POLLNVAL)) == 0) {
                    hWinner = pending[i].h;
                    winnerAddr = pending[i].addr;
                    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
                nLastError = nError != 0 ? nError : WSAECONNREFUSED;
                dropAttempt(i);
            }
        }
    } catch (...) {
        while (!pending.empty()) {
            dropAttempt(pending.size() - 1);
        }
        throw;
    }
    while (!pending.empty()) {
        dropAttempt(pending.size() - 1);  // the losers of the race
    }
    if (hWinner == 0) {
        return SetError(L"CSocketBlocking::Connect(...).", FALSE, nLastError);
    }
    SetBlocking(hWinner, true);
    m_connectedAddr = winnerAddr;
    m_hSocket = hWinner;
    return 0;
}
