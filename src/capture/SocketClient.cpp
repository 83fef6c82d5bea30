#include "capture/SocketClient.h"

#include <array>
#include <cstring>

#include "capture/ClientCount.h"
#include "capture/LoopErrorText.h"
#include "capture/RelayRecords.h"
#include "capture/ServerMemo.h"
#include "capture/ServerUrl.h"
#include "capture/SessionConditions.h"
#include "capture/SessionTls.h"
#include "capture/SocketAccept.h"
#include "capture/SplitLines.h"
#include "module/MyModule.h"
#include "platform/DebugOutput.h"
#include "platform/MemoryTrim.h"
#include "platform/SocketFilter.h"
#include "platform/TextConv.h"
#include "support/FileException.h"
#include "support/ResourceStrings.h"
#include "support/SystemErrorText.h"
#include "support/Trace.h"

std::atomic<long> g_nClientsCount{0};
std::atomic<bool> g_bCloseWhenNoClients{false};

namespace {

std::atomic<bool> g_bRelayOnSessionThread{true};

}  // namespace

void SetRelayOnSessionThread(bool bOn) {
    g_bRelayOnSessionThread = bOn;
}

namespace {

// Removes every occurrence of the first scheme that the host text begins with (exact case).
void RemoveScheme(std::wstring& strHost) {
    static constexpr std::array<std::wstring_view, 3> kSchemes = {L"http://", L"ftp://",
                                                                  L"https://"};
    for (std::wstring_view scheme : kSchemes) {
        if (!strHost.starts_with(scheme)) {
            continue;
        }
        for (std::size_t pos = strHost.find(scheme); pos != std::wstring::npos;
             pos = strHost.find(scheme, pos)) {
            strHost.erase(pos, scheme.size());
        }
    }
}

}  // namespace

std::wstring ConnectTarget(const std::wstring& strHost) {
    // "[::1]", "[::1]:8080/path": the address in its brackets; the port that counts is the
    // remote port of the connection bar.
    if (strHost.starts_with(L"[")) {
        const std::size_t nClose = strHost.find(L']');
        if (nClose != std::wstring::npos) {
            return strHost.substr(0, nClose + 1);
        }
    }
    return strHost;
}

CSocketClient::CSocketClient(CSocketAccept* pAccept, bool bCounted)
    : CSocketTelnet(TRUE, kDataSize, kMaxDataSize),
      m_bCounted(bCounted),
      m_pRelay(pAccept ? pAccept->GetRelayState() : std::make_shared<CRelayState>()),
      m_pLink(pAccept ? pAccept->GetLink() : std::make_shared<CSessionLink>(nullptr, 0, 0)),
      m_strMarker("\r\n" +
                  (m_pLink->HasSession() ? std::to_string(m_pLink->GetSession()) : std::string()) +
                  "--->---"),
      m_bMayShare(pAccept != nullptr) {
    if (m_bCounted) {
        ++g_nClientsCount;
    }
}

CSocketClient::~CSocketClient() {
    // The thread has ended (or never ran): nobody else touches the capture now.
    CloseResponseFile();
    m_bDestroyed = true;
    m_pLink->ClientDestroyed();
    m_pLink->WithSession([this](CSocketAccept& session) {
        if (session.GetClient() == this) {
            session.ForgetClient();
        }
    });
    if (!m_bCounted) {
        return;
    }
    const long nBefore = g_nClientsCount.fetch_sub(1);
    if (nBefore == 1) {
        win::ReturnFreeMemory();  // the last connection is gone: its buffers go back too
    }
    if (nBefore == 1 && g_bCloseWhenNoClients) {
        g_Module.CloseMainWindow();
    }
    Trace(L"CSocketClient::~CSocketClient(void) this = 0x%x. Clients count = %ld",
          reinterpret_cast<std::uintptr_t>(this), nBefore - 1);
}

bool CSocketClient::ConnectToServer() {
    int nLocalPort = 0;
    int nRemotePort = 0;
    m_strHost.clear();
    m_strConnectError.clear();
    g_Module.GetConnectionSettingsAtOnce(m_strHost, nLocalPort, nRemotePort);
    m_strUrl = m_strHost;
    // The host of a pasted URL ("http://127.0.0.1:8080/page"); text that names none is
    // tried as it is, without its scheme, and fails with the usual message.
    if (const std::optional<CServerUrl> server = ParseServerUrl(m_strUrl)) {
        m_strHost = server->strHost;
    } else {
        RemoveScheme(m_strHost);
    }

    int nError = 0;
    try {
        // Every address of the host, both families, each socket bound to the wildcard
        // address of its family (CSocketBlocking::Connect).
        nError = Connect(ConnectTarget(m_strHost).c_str(), nRemotePort, FALSE);
    } catch (...) {
        Close();  // a failed bind (or a raising connect) must not keep the socket
        throw;
    }
    if (nError == WSAEINTR && IsStopRequested()) {
        Close();  // the session was asked to stop while connecting: nothing to tell
        return false;
    }
    if (nError != 0) {
        Close();
        const std::string strHost = win::WideToAnsi(m_strHost);
        CLogRecord record;
        record.kind = LogRecordKind::SessionRefused;
        record.server.nPort = static_cast<std::uint16_t>(nRemotePort);
        record.strServerHost = strHost;
        LogSessionRecord(*m_pLink, record);
        std::wstring strText;
        FormatResource(strText, 140, m_strHost, nRemotePort);
        // The reason on a line of its own after the fixed text.
        strText += L"\n" + GetSystemErrorText(static_cast<DWORD>(nError));
        while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r')) {
            strText.pop_back();
        }
        // The session resets its client and reports it (UnreachableServer.h).
        m_strConnectError = std::move(strText);
        return false;
    }
    Trace(L"Session %ld connected to %s (%s)", static_cast<long>(m_pLink->GetSession()),
          GetConnectedAddress().TextWithPort(), m_strHost);
    {
        const std::string strHost = win::WideToAnsi(m_strHost);
        CLogRecord record;
        record.kind = LogRecordKind::SessionConnected;
        // The address just connected to: the same as the peer's, without asking for it.
        sockaddr_storage storage{};
        const CSocketAddress& connected = GetConnectedAddress();
        std::memcpy(
            &storage, connected.Get(),
            std::min<std::size_t>(sizeof(storage), static_cast<std::size_t>(connected.Length())));
        record.server = NetAddressOf(storage);
        record.strServerHost = strHost;
        LogSessionRecord(*m_pLink, record);
    }
    try {
        SetUpSessionTls(*m_pLink, m_pLink->GetLocalSocket(), GetSocket(), m_strUrl,
                        [this] { return IsStopRequested(); });
    } catch (...) {
        Close();
        throw;
    }
    // A plain connection needs no thread of its own while both peers take what is sent at
    // once: the session's thread relays both ways, with a third of the thread switches.
    m_bOnSessionThread =
        m_bMayShare && g_bRelayOnSessionThread && m_pLink->GetConditions() == nullptr &&
        !win::HasSocketFilter(GetSocket()) && !win::HasSocketFilter(m_pLink->GetLocalSocket());
    if (!m_bOnSessionThread) {
        m_pLink->SetClientLoopRunning(true);
        try {
            StartThread();
        } catch (...) {
            m_pLink->SetClientLoopRunning(false);
            Close();
            throw;
        }
    }
    if (ServerMemo().Claim(m_strHost, nLocalPort, nRemotePort)) {
        try {
            CRegKeyTalvex regKey;
            regKey.SetServer(m_strHost.c_str(), static_cast<DWORD>(nLocalPort),
                             static_cast<DWORD>(nRemotePort));
        } catch (...) {
            // Remembering the server is a convenience: the connection, whose loop runs
            // already, goes on without it, and the next session tries again.
            ServerMemo().Unclaim(m_strHost, nLocalPort, nRemotePort);
            Trace(L"%s",
                  TakeCaughtText(L"Unhandled exception!!! CSocketClient::ConnectToServer()"));
        }
    }
    return true;
}

void CSocketClient::QueueRequest(bool bHead, bool bConnect) {
    m_scan.QueueRequest(bHead, bConnect);
}

void CSocketClient::SetResponseFile(const std::wstring& strPath,
                                    const std::wstring& strDataFolder) {
    std::erase(m_dataFolders, strDataFolder);
    m_dataFolders.push_back(strDataFolder);
    if (m_dataFolders.size() > 4) {
        m_dataFolders.erase(m_dataFolders.begin());
    }
    m_scan.NameLastRequest(strPath);
}

void CSocketClient::ResetResponse() {
    m_scan.ForgetRequests();
}

void CSocketClient::CaptureBlock(std::string_view block) {
    CModuleLock lock;
    if (m_scan.IsActive()) {
        m_scan.Feed(block, m_decoder);
    }
}

void CSocketClient::OnBodyStart(const std::wstring& strFile) {
    // The folder that the name was made below: the latest one that holds it.
    std::wstring strRoot;
    for (auto it = m_dataFolders.rbegin(); it != m_dataFolders.rend(); ++it) {
        if (strFile.starts_with(*it)) {
            strRoot = *it;
            break;
        }
    }
    m_strResponseFile = strFile;
    m_writer.Begin(strRoot, strFile);
}

void CSocketClient::OnBodyRestart() {
    m_writer.Restart();  // created again, emptied, by the next write
}

void CSocketClient::OnBodyNote(const std::wstring& strText) {
    m_writer.Note(strText);  // after the save line of its file
}

void CSocketClient::OnBodyEnd() {
    m_writer.End();
    m_strResponseFile.clear();
}

void CSocketClient::OnBodyText(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t u : text) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    m_writer.Write(bytes, true);
}

void CSocketClient::OnBodyBinary(std::string_view bytes) {
    m_writer.Write(bytes, false);
}

void CSocketClient::CloseResponseFile() {
    m_scan.End(m_decoder);  // a body that runs to the close is whole now
    m_writer.Finish();
}

void CSocketClient::LogServerBlock(std::string_view block) {
    LogBlockBegin(*m_pLink);
    if (win::IsDebugOutputOn()) {
        TraceW(win::AnsiToWide(m_strMarker));
        TraceW(win::BlockText(block));
    }
    g_Module.AppendLogUtf8(m_strMarker, LOG_STYLE_BOLD);
    g_Module.AppendLogBlock(block, LOG_STYLE_PLAIN);
    LogBlockRecord(*m_pLink, LogDirection::ServerToClient, block);
}

void CSocketClient::SendToLocal(std::string_view bytes) {
    const SOCKET hLocal = m_pLink->GetLocalSocket();
    if (bytes.empty() || hLocal == 0) {
        return;
    }
    if (CSessionConditions* pConditions = m_pLink->GetConditions()) [[unlikely]] {
        SendToLocalUnder(*pConditions, hLocal, bytes);
        return;
    }
    if (m_bOnSessionThread && !m_pRelay->IsClosed(CRelayState::Local)) {
        // The session's thread must not wait here: the local client may be sending what it
        // wants to finish before it reads again. What it does not take at once goes on a
        // thread of this connection's own, which then relays the server's side.
        int nError = 0;
        const long long nSent = SendNowOn(hLocal, bytes.data(), bytes.size(), &nError);
        if (nSent < 0) {
            LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ClientToServer);
            AbortSession(L"Send to the local client failed! " + SendErrorText(nError));
        } else if (static_cast<std::size_t>(nSent) < bytes.size()) {
            StartOwnLoop(bytes.substr(static_cast<std::size_t>(nSent)));
        }
        return;
    }
    std::wstring strError;
    // A client that stops reading (a debugger, a save prompt) is held by backpressure for
    // as long as it lives: only a stop or an error of the connection ends the wait.
    if (!SendAllOn(hLocal, bytes.data(), bytes.size(), 0, &strError,
                   [this] { return m_pRelay->IsStopping() || m_pLink->IsAborted(); })) {
        LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ClientToServer);
        AbortSession(L"Send to the local client failed! " + strError);
    }
}

void CSocketClient::SendToLocalUnder(CSessionConditions& conditions, SOCKET hLocal,
                                     std::string_view bytes) {
    std::wstring strError;
    switch (conditions.Send(*m_pLink, LogDirection::ServerToClient, hLocal, bytes, &strError,
                            [this] { return m_pRelay->IsStopping() || m_pLink->IsAborted(); })) {
        case CSessionConditions::Outcome::Sent:
        case CSessionConditions::Outcome::Dropped:
            return;
        case CSessionConditions::Outcome::CutClose:
            m_pLink->WithSession([](CSocketAccept& session) { session.StopSession(false); });
            return;
        case CSessionConditions::Outcome::CutReset:
            LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ClientToServer);
            AbortSession(win::AnsiToWide(conditions.CutText(LogDirection::ServerToClient)));
            return;
        case CSessionConditions::Outcome::Failed:
            break;
    }
    LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ClientToServer);
    AbortSession(L"Send to the local client failed! " + strError);
}

void CSocketClient::ForwardToClient(int nBytes, const char* pBytes) {
    const std::string_view block(pBytes, static_cast<std::size_t>(nBytes > 0 ? nBytes : 0));
    SendToLocal(block);
    CModuleLock lock;
    LogServerBlock(block);
}

void CSocketClient::OnReceive(int nErrorCode) {
    CheckReceiveError(nErrorCode);
    ReceiveData();
    const std::string_view block(GetData(), static_cast<std::size_t>(GetDataLength()));
    {
        // Log and capture under the module lock: each block shows whole in the log, before
        // it goes out. Receiving and converting need no lock; the send waits outside it.
        CModuleLock lock;
        LogServerBlock(block);
        CTunnelWatch& tunnel = m_pLink->Tunnel();
        if (tunnel.IsWaiting()) {
            tunnel.OnResponse(block);
            if (tunnel.IsTunnel()) {
                ResetResponse();  // nothing after a protocol switch is an HTTP response
            }
        }
        if (!tunnel.IsTunnel()) {
            CaptureBlock(block);
        }
        m_pRelay->NotifyActivity(CRelayState::Server);
    }
    // A slow disk holds up this connection's relay only, and only outside the lock.
    m_writer.WaitForRoom([this] { return IsStopRequested(); });
    SendToLocal(block);
}

std::wstring CSocketClient::ReceiveString() {
    ReceiveData();
    ForwardToClient(GetDataLength(), GetData());
    return win::BlockText(std::string_view(GetData(), static_cast<std::size_t>(GetDataLength())));
}

bool CSocketClient::OnLine(const std::wstring& strLine) {
    std::string strText = win::WideToAnsi(strLine);
    std::erase_if(strText, [](char c) { return c == '\r' || c == '\n'; });
    m_scan.ScanHeaderText(strText);
    return false;
}

void CSocketClient::AbortSession(const std::wstring& strReason) {
    if (!m_pLink->BeginAbort()) {
        Close();  // the session's thread is ending the session already
        return;
    }
    if (!m_pRelay->IsStopping()) {
        LogSessionError(m_pLink->GetSession(), strReason);  // a stop cuts sends on purpose
    }
    if (const SOCKET hServer = GetSocket(); hServer != 0) {
        SetResetOnClose(hServer);
    }
    // The local socket: reset, and closed through the session while it exists, which wakes
    // and ends its loop. A session already deleted has closed it.
    SetResetOnClose(m_pLink->GetLocalSocket());
    m_pLink->WithSession([](CSocketAccept& session) { session.Close(); });
    Close();
}

bool CSocketClient::PassServerCloseOn(int nErrorCode) {
    LogSideRecord(*m_pLink, nErrorCode != 0 ? LogRecordKind::SideReset : LogRecordKind::SideClosed,
                  LogDirection::ServerToClient);
    if (nErrorCode != 0) {
        // A reset by the server: the local client is reset too instead of seeing an
        // orderly end of an answer that may be cut.
        AbortSession(L"Receive from the server failed! " +
                     GetSystemErrorText(static_cast<DWORD>(nErrorCode)));
        return false;
    }
    // The server finished sending: the local client learns of it, and what it still sends
    // reaches the server, until it closes too or goes quiet. The local socket's handle is
    // never reused, so this needs no session object.
    if (win::shutdown(m_pLink->GetLocalSocket(), win::SD_SEND) == win::SOCKET_ERROR &&
        win::WSAGetLastError() != WSAENOTSOCK) {
        // The half close is the local client's only news of the end, and the wake-up of
        // the session's thread: without it both would wait for ever.
        AbortSession(L"Passing the server's close on to the local client failed! " +
                     GetSystemErrorText(static_cast<DWORD>(win::WSAGetLastError())));
        return false;
    }
    // Marked only now: a session thread that waits for this side ends the session (and
    // closes the local socket) as soon as it is marked, and the half close may still have
    // been sending the rest of the answer (a TLS side's last records and its close_notify,
    // waiting for a slow client to make room).
    m_pRelay->MarkClosed(CRelayState::Server);
    return true;
}

void CSocketClient::OnClose(int nErrorCode) {
    if (PassServerCloseOn(nErrorCode)) {
        m_pRelay->WaitOtherSide(CRelayState::Server, CRelayState::kHalfCloseSilence);
        m_pLink->WithSession([](CSocketAccept& session) { session.StopSession(false); });
    }
    CSocketTelnet::OnClose(nErrorCode);
}

void CSocketClient::RunLoop(WSAEVENT ev) {
    if (!m_carry.empty()) {
        const std::string carry = std::move(m_carry);
        m_carry.clear();
        SendToLocal(carry);
    }
    CSocketTelnet::RunLoop(ev);
}

CSocketClient::SharedRound CSocketClient::OnSharedEvents(SOCKET hServer, WSAEVENT ev) {
    const win::WSANETWORKEVENTS events = TakeNetworkEvents(hServer, ev);
    const long lEvents = events.lNetworkEvents;
    SharedRound round = SharedRound::Quiet;
    try {
        if (lEvents & win::FD_READ) {
            OnReceive(events.iErrorCode[win::FD_READ_BIT]);
            if (!m_bOnSessionThread) {
                return SharedRound::HandedOver;
            }
            if (GetSocket() == 0) {
                return SharedRound::Ended;
            }
            round = SharedRound::Relayed;
        }
        if (lEvents & win::FD_CLOSE) {
            DrainBeforeClose([this] { return !m_bOnSessionThread; });
            if (!m_bOnSessionThread) {
                return SharedRound::HandedOver;
            }
            const int nError = events.iErrorCode[win::FD_CLOSE_BIT];
            const bool bInOrder = PassServerCloseOn(nError);
            CSocketTelnet::OnClose(nError);  // raises for a reset, as in this object's loop
            return bInOrder ? SharedRound::Closed : SharedRound::Ended;
        }
    } catch (...) {
        // What this object's own loop does with a failure of its handlers.
        EndLoopWithError(TakeCaughtText(L"Unhandled exception!!! CSocketBlocking::Proc()"));
        return SharedRound::Ended;
    }
    return round;
}

void CSocketClient::EndShared() {
    try {
        LeaveLoop();
        {
            CModuleLock lock;
            m_scan.End(m_decoder);  // a body that runs to the close is whole now
        }
        m_writer.Finish();
    } catch (...) {
        Trace(L"%s", TakeCaughtText(L"Unhandled exception!!! CSocketClient::EndShared()"));
    }
    m_pRelay->NotifyEnded(CRelayState::Server);
    if (const SOCKET h = m_hSocket.exchange(0); h != 0) {
        win::closesocket(h);
    }
}

void CSocketClient::StartOwnLoop(std::string_view carry) {
    m_carry.assign(carry);
    LeaveLoop();
    m_bOnSessionThread = false;
    m_pLink->SetClientLoopRunning(true);
    try {
        StartThread();
    } catch (...) {
        m_pLink->SetClientLoopRunning(false);
        const std::wstring strError = TakeCaughtText(L"CSocketClient::StartOwnLoop()");
        LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
        AbortSession(L"Relaying the server's side on a thread of its own failed! " + strError);
    }
}

void CSocketClient::OnLoopError(const std::wstring& strError) {
    LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
    AbortSession(LoopErrorText(strError, true));
}

void CSocketClient::OnThreadEnd() {
    {
        // The session thread may still reset the capture meanwhile.
        CModuleLock lock;
        m_scan.End(m_decoder);  // a body that runs to the close is whole now
    }
    // Outside the lock: the writer logs under it while it finishes.
    m_writer.Finish();
    m_pRelay->NotifyEnded(CRelayState::Server);
    // After this the session's destructor may delete this client at any time.
    if (m_pLink->ClientLoopEnded()) {
        // The session has let go of this client: nobody else deletes it.
        g_Module.DeleteClientLater(this);
    }
}
