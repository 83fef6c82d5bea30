#include "capture/SocketAccept.h"

#include <algorithm>

#include "capture/ArrayListen.h"
#include "capture/CachedSetting.h"
#include "capture/LoopErrorText.h"
#include "capture/RelayRecords.h"
#include "capture/SessionConditions.h"
#include "capture/SessionTls.h"
#include "capture/SocketClient.h"
#include "capture/SplitLines.h"
#include "capture/UnreachableServer.h"
#include "module/MyModule.h"
#include "platform/DebugOutput.h"
#include "platform/TextConv.h"
#include "support/FileException.h"
#include "support/ResourceStrings.h"
#include "support/SystemErrorText.h"
#include "support/Trace.h"

HWND MainWindowHandle() {
    return static_cast<HWND>(g_Module.GetMainWindow());
}

bool DeleteRelayObject(UINT nMsg, WPARAM wParam) {
    if (nMsg == UM_DELETE_SESSION) {
        delete reinterpret_cast<CSocketAccept*>(wParam);
        return true;
    }
    if (nMsg == UM_DELETE_CLIENT) {
        try {
            delete reinterpret_cast<CSocketClient*>(wParam);
        } catch (...) {
        }
        return true;
    }
    return false;
}

CSocketAccept::CSocketAccept()
    : CSocketTelnet(FALSE, kVesselDataSize),
      m_nSession(0),
      m_pArrayListen(nullptr),
      m_pClient(nullptr),
      m_bReplaceHost(false),
      m_pRelay(std::make_shared<CRelayState>()),
      m_pLink(std::make_shared<CSessionLink>(this, 0, 0)) {
    m_pClient = new CSocketClient(this, false);
}

CSocketAccept::CSocketAccept(CSocketAccept& vessel, CArrayListen& arrayListen, bool bStartThread)
    : CSocketTelnet(vessel, FALSE, kDataSize, kMaxDataSize),
      m_nSession(arrayListen.NextSessionNumber()),
      m_pArrayListen(&arrayListen),
      m_pClient(nullptr),
      m_bReplaceHost(false),
      m_pRelay(std::make_shared<CRelayState>()),
      m_pLink(std::make_shared<CSessionLink>(this, m_nSession, GetSocket())),
      m_strMarker("\r\n" + std::to_string(m_nSession) + "---<---") {
    m_pClient = new CSocketClient(this);
    try {
        m_pLink->SetConditions(CSessionConditions::ForNewSession());
        m_bReplaceHost = CachedReplaceHostHeader();
        if (bStartThread) {
            StartThread();
        }
    } catch (...) {
        m_pLink->SessionGone();
        delete m_pClient.exchange(nullptr);
        throw;
    }
}

CSocketAccept::~CSocketAccept() {
    // The GUI thread: the hand-over of the client is decided under the link's own lock,
    // which the client's thread also takes at its end, and never under the module lock
    // (whose holders may wait for this thread). Either the client's loop still runs and
    // the client deletes itself later, or it has ended and is deleted here.
    const bool bClientRunning = m_pLink->SessionGone();
    if (CSocketClient* pClient = m_pClient.exchange(nullptr);
        pClient != nullptr && !bClientRunning) {
        delete pClient;  // a client already being destroyed never gets here (see its destructor)
    }
    if (m_pArrayListen != nullptr) {
        m_pArrayListen->Remove(this);
        std::wstring strText;
        FormatResource(strText, 132, m_pArrayListen->GetCount());
        g_Module.SetStatusText(strText, STATUS_PANE_SESSIONS);
    }
}

void CSocketAccept::WriteSessionLine(UINT nId) {
    LogSessionLine(m_nSession, nId);
}

void CSocketAccept::Proc() {
    {
        CModuleLock lock;
        CLogRecord record;
        record.kind = LogRecordKind::SessionStart;
        record.client = PeerAddressOf(GetSocket());
        LogSessionRecord(*m_pLink, record);
        WriteSessionLine(147);
        if (CSessionConditions* pConditions = m_pLink->GetConditions()) {
            record = CLogRecord();
            record.kind = LogRecordKind::SessionConditions;
            const std::string strText = DescribeNetConditions(pConditions->GetConditions());
            record.bytes = strText;
            LogSessionRecord(*m_pLink, record);
        }
    }
    try {
        CSocketClient* pClient = m_pClient;
        if (pClient != nullptr && !ResetByConditions() && pClient->ConnectToServer()) {
            if (CSessionConditions* pConditions = m_pLink->GetConditions();
                pConditions != nullptr &&
                pConditions->DrawReset(*m_pLink, LogDirection::ClientToServer)) {
                // The server sees the connection open and then reset; so does the client.
                LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
                AbortSession(L"");  // the reset is in the log already, said by DrawReset
                pClient->RequestStop();
                CloseThreadHandle();
            } else {
                CSocketTelnet::Proc();
            }
            if (CSocketClient* pLeft = m_pClient) {
                pLeft->RequestStop();  // whatever ended this side ends the other
            }
        } else {
            // The local client is let go at once, by a reset, instead of waiting connected
            // until someone reads the error box; closing before listening is switched off
            // also spares the stop a wait for a loop that never runs.
            const std::wstring strError =
                pClient != nullptr ? pClient->GetConnectError() : std::wstring();
            if (!strError.empty()) {
                if (const SOCKET hLocal = GetSocket(); hLocal != 0) {
                    SetResetOnClose(hLocal);
                }
            }
            Close();
            if (!strError.empty()) {
                std::wstring strLine = strError;
                std::replace(strLine.begin(), strLine.end(), L'\n', L' ');
                LogSessionError(m_nSession, strLine);
                ReportUnreachableServer(strError);
            }
            CloseThreadHandle();
        }
    } catch (CException* e) {
        // Connecting failed on the way (no socket, a failed bind, no thread): the local
        // client is told by a reset, not by an empty answer that ends in order.
        const std::wstring strText = e->GetText();
        delete e;
        Trace(L"%s", strText);
        LogSideRecord(*m_pLink, LogRecordKind::SessionRefused, LogDirection::ServerToClient);
        LogSessionError(m_nSession, L"Connect to the server failed! " + strText);
        if (CSocketClient* pClient = m_pClient) {
            pClient->RequestStop();
        }
        if (const SOCKET hLocal = GetSocket(); hLocal != 0) {
            SetResetOnClose(hLocal);
        }
        Close();
    } catch (const CTlsSessionEnd& end) {
        // TLS could not be set up (the reason is in the log) or the session was stopped.
        if (const SOCKET hLocal = GetSocket(); hLocal != 0 && end.bReset) {
            SetResetOnClose(hLocal);
        }
        Close();
    }
    m_pRelay->NotifyEnded(CRelayState::Local);
    CModuleLock lock;
    LogSideRecord(*m_pLink, LogRecordKind::SessionEnd, LogDirection::ClientToServer);
    WriteSessionLine(148);
}

bool CSocketAccept::PassLocalCloseOn(int nErrorCode) {
    CSocketClient* pClient = m_pClient;
    LogSideRecord(*m_pLink, nErrorCode != 0 ? LogRecordKind::SideReset : LogRecordKind::SideClosed,
                  LogDirection::ClientToServer);
    if (nErrorCode != 0) {
        // A reset by the local client: the server is reset too instead of seeing an
        // orderly end of a request that may be cut.
        CSocketTelnet::OnClose(nErrorCode);
        AbortSession(L"Receive from the local client failed! " +
                     GetSystemErrorText(static_cast<DWORD>(nErrorCode)));
        return false;
    }
    if (pClient != nullptr) {
        // An orderly close ends only the client's direction: the server learns of it, and
        // what it still sends reaches the local client, until it closes too or goes quiet.
        SendHeldRequest();
        if (win::shutdown(pClient->GetSocket(), win::SD_SEND) == win::SOCKET_ERROR &&
            win::WSAGetLastError() != WSAENOTSOCK) {
            // The half close is the server's only news of the end, and the wake-up of the
            // client's thread: without it both would wait for ever.
            CSocketTelnet::OnClose(nErrorCode);
            AbortSession(L"Passing the local client's close on to the server failed! " +
                         GetSystemErrorText(static_cast<DWORD>(win::WSAGetLastError())));
            return false;
        }
        // Marked only once the half close has gone out: the server's thread, when it waits
        // for this side, stops the session as soon as it is marked (see PassServerCloseOn).
        m_pRelay->MarkClosed(CRelayState::Local);
    }
    return true;
}

void CSocketAccept::AwaitServerSide(int nErrorCode) {
    if (CSocketClient* pClient = m_pClient) {
        m_pRelay->WaitOtherSide(CRelayState::Local, CRelayState::kHalfCloseSilence);
        if (pClient->IsThreadStarted()) {
            pClient->StopThread(1000);
        }
    }
    CSocketTelnet::OnClose(nErrorCode);
}

void CSocketAccept::OnClose(int nErrorCode) {
    if (PassLocalCloseOn(nErrorCode)) {
        AwaitServerSide(nErrorCode);
    }
}

int CSocketAccept::SetError(const wchar_t* pszContext, BOOL /*bThrow*/) {
    return CSocketBlocking::SetError(pszContext, FALSE, 0);
}

void CSocketAccept::OnLoopError(const std::wstring& strError) {
    // Not a close or a stop: neither peer may take the cut stream for a whole one.
    LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ClientToServer);
    AbortSession(LoopErrorText(strError, false));
}

void CSocketAccept::OnThreadEnd() {
    g_Module.DeleteSessionLater(this);
}

void CSocketAccept::OnReceive(int nErrorCode) {
    CheckReceiveError(nErrorCode);
    const bool bSaveResponse = CachedSaveResponse();
    if (!m_bReplaceHost && !bSaveResponse) {
        // Plain relaying: the block is received and converted without the module lock,
        // which is held only while it goes into the log; it is sent after that.
        const std::string_view block = ReceivePlainBlock();
        LogPlainBlock(block);
        SendToServer(block);
        return;
    }
    std::string_view toSend;
    {
        // HTTP mode: receive, rewrite and log under the module lock, which the requests'
        // state shares with the client's thread. The send waits outside it.
        CModuleLock lock;
        try {
            // After a protocol switch the stream is opaque: relayed as it comes.
            const bool bTunnel = m_pLink->Tunnel().IsTunnel();
            CSocketClient* pClient = m_pClient;
            if (!bTunnel) {
                if (pClient != nullptr) {
                    pClient->BeginRequestBlock();  // its requests' names: the last one wins
                }
                toSend = ReceiveHttpBlock(bSaveResponse);
                const CTunnelWatch::Request kind = m_request.TakeSwitchRequest();
                if (kind != CTunnelWatch::Request::None) {
                    m_pLink->Tunnel().OnRequest(kind);
                }
                m_pRelay->NotifyActivity(CRelayState::Local);
            } else {
                // A line held back for rewriting goes first, unchanged.
                m_strRequest.clear();
                m_request.Flush(m_strRequest);
                m_request.Restart();
                toSend = ReceivePlainBlock();
                if (!m_strRequest.empty()) {
                    m_strRequest += toSend;
                    toSend = m_strRequest;
                }
                LogPlainBlock(toSend);  // the lock is re-entrant
            }
        } catch (CFileException* e) {
            const std::wstring strMessage = e->GetErrorMessage(255);
            delete e;
            throw new CException(strMessage);
        }
    }
    SendToServer(toSend);
}

std::string_view CSocketAccept::ReceivePlainBlock() {
    ReceiveData();
    return std::string_view(GetData(), static_cast<std::size_t>(GetDataLength()));
}

void CSocketAccept::LogPlainBlock(std::string_view block) {
    CModuleLock lock;
    if (!m_pLink->Tunnel().IsTunnel()) {
        if (CSocketClient* pClient = m_pClient) {
            pClient->ResetResponse();  // requests are not followed: none is saved
        }
    }
    m_request.Restart();
    LogBlockBegin(*m_pLink);
    LogClientBlockBytes(block);
    LogBlockRecord(*m_pLink, LogDirection::ClientToServer, block);
    m_pRelay->NotifyActivity(CRelayState::Local);
}

void CSocketAccept::SendToServer(std::string_view bytes) {
    CSocketClient* pClient = m_pClient;
    if (bytes.empty() || pClient == nullptr) {
        return;
    }
    const SOCKET hServer = pClient->GetSocket();
    if (hServer == 0) {
        return;  // the server's side has ended; this session is ending too
    }
    if (CSessionConditions* pConditions = m_pLink->GetConditions()) [[unlikely]] {
        SendToServerUnder(*pConditions, hServer, bytes);
        return;
    }
    if (pClient->IsOnSessionThread() && !m_pRelay->IsClosed(CRelayState::Server)) {
        // This thread also relays the server's answers: before it waits for a server that
        // does not take the block at once (it may be sending what it wants read first),
        // the client's side gets a thread of its own.
        int nError = 0;
        const long long nSent = SendNowOn(hServer, bytes.data(), bytes.size(), &nError);
        if (nSent < 0) {
            LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
            AbortSession(L"Send to the server failed! " + SendErrorText(nError));
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(nSent));
        if (bytes.empty()) {
            return;
        }
        pClient->StartOwnLoop({});
        if (m_pLink->IsAborted()) {
            return;
        }
    }
    std::wstring strError;
    // A server that stops reading is waited for as long as its connection lives.
    if (!SendAllOn(hServer, bytes.data(), bytes.size(), 0, &strError,
                   [this] { return m_pRelay->IsStopping() || m_pLink->IsAborted(); })) {
        LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
        AbortSession(L"Send to the server failed! " + strError);
    }
}

void CSocketAccept::SendToServerUnder(CSessionConditions& conditions, SOCKET hServer,
                                      std::string_view bytes) {
    std::wstring strError;
    switch (conditions.Send(*m_pLink, LogDirection::ClientToServer, hServer, bytes, &strError,
                            [this] { return m_pRelay->IsStopping() || m_pLink->IsAborted(); })) {
        case CSessionConditions::Outcome::Sent:
        case CSessionConditions::Outcome::Dropped:
            return;
        case CSessionConditions::Outcome::CutClose:
            StopSession(false);
            return;
        case CSessionConditions::Outcome::CutReset:
            LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
            AbortSession(win::AnsiToWide(conditions.CutText(LogDirection::ClientToServer)));
            return;
        case CSessionConditions::Outcome::Failed:
            break;
    }
    LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ServerToClient);
    AbortSession(L"Send to the server failed! " + strError);
}

bool CSocketAccept::ResetByConditions() {
    CSessionConditions* pConditions = m_pLink->GetConditions();
    if (pConditions == nullptr || !pConditions->DrawReset(*m_pLink, LogDirection::ServerToClient)) {
        return false;
    }
    // The local client is reset before the server is contacted.
    LogSideRecord(*m_pLink, LogRecordKind::SideReset, LogDirection::ClientToServer);
    if (const SOCKET hLocal = GetSocket(); hLocal != 0) {
        SetResetOnClose(hLocal);
    }
    return true;
}

void CSocketAccept::SendHeldRequest() {
    std::string held;
    {
        CModuleLock lock;
        m_request.Flush(held);
        if (held.empty()) {
            return;
        }
        LogBlockBegin(*m_pLink);
        LogClientBlock(L"");
        TraceA(held);
        g_Module.AppendLogBlock(held, LOG_STYLE_KEEP);
        LogBlockRecord(*m_pLink, LogDirection::ClientToServer, held);
    }
    SendToServer(held);
}

std::wstring CSocketAccept::ReceiveString() {
    const std::string_view block = ReceivePlainBlock();
    LogPlainBlock(block);
    SendToServer(block);
    return win::BlockText(block);
}

std::string_view CSocketAccept::ReceiveHttpBlock(bool bSaveResponse) {
    LogBlockBegin(*m_pLink);
    LogClientBlock(L"");
    m_strRequest.clear();
    ReceiveData();
    m_request.Feed(std::string_view(GetData(), static_cast<std::size_t>(GetDataLength())),
                   m_bReplaceHost, bSaveResponse, *this, m_strRequest);
    TraceA(m_strRequest);
    g_Module.AppendLogBlock(m_strRequest, LOG_STYLE_KEEP);
    // What the server receives, which is what the log shows.
    LogBlockRecord(*m_pLink, LogDirection::ClientToServer, m_strRequest);
    return m_strRequest;
}

void CSocketAccept::AbortSession(const std::wstring& strReason) {
    if (!m_pLink->BeginAbort()) {
        Close();  // the other thread is ending the session already
        return;
    }
    if (!m_pRelay->IsStopping() && !strReason.empty()) {
        LogSessionError(m_nSession, strReason);  // a stop cuts sends on purpose: no error
    }
    CSocketClient* pClient = m_pClient;
    const SOCKET hServer = pClient != nullptr ? pClient->GetSocket() : 0;
    if (hServer != 0) {
        SetResetOnClose(hServer);
    }
    if (const SOCKET hLocal = GetSocket(); hLocal != 0) {
        SetResetOnClose(hLocal);
    }
    // Closing a socket wakes its loop, which then ends: the client's, and this one once
    // the handler returns.
    if (pClient != nullptr) {
        pClient->Close();
    }
    Close();
}

bool CSocketAccept::OnLine(const std::wstring& strLine) {
    m_request.Feed(win::WideToAnsi(strLine), m_bReplaceHost, CachedSaveResponse(), *this,
                   m_strRequest);
    return false;
}

std::wstring CSocketAccept::GetUrl() {
    CSocketClient* pClient = m_pClient;
    return pClient != nullptr ? pClient->GetUrlText() : std::wstring();
}

int CSocketAccept::GetRemotePort() {
    CSocketClient* pClient = m_pClient;
    return pClient != nullptr ? pClient->GetConnectedAddress().Port() : 0;
}

void CSocketAccept::OnHeaderLineTooLong(std::size_t /*nBytes*/) {
    g_Module.AppendLog(L"\nNot rewritten: a header line longer than " +
                           std::to_wstring(CRequestRewriter::kMaxHeldLine) +
                           L" bytes; the request's header lines from there on pass unchanged\n",
                       LOG_STYLE_BOLD);
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
}

void CSocketAccept::OnRequestLine(std::string_view method) {
    if (CSocketClient* pClient = m_pClient) {
        pClient->QueueRequest(method == "HEAD", method == "CONNECT");
    }
}

void CSocketAccept::OnRequestTarget(const std::wstring& strTarget) {
    CSocketClient* pClient = m_pClient;
    if (pClient == nullptr) {
        return;
    }
    const std::wstring strDataFolder = m_regKey.GetDataFolder();
    if (std::optional<std::wstring> strPath =
            ResponseFilePath(strDataFolder, pClient->GetHost(), strTarget)) {
        pClient->SetResponseFile(*strPath, strDataFolder);
    } else if (IsTargetTooLong(strTarget)) {
        // Said once for the request, instead of an answer that silently goes unsaved.
        g_Module.AppendLog(L"\nNot saved: a request target of " +
                               std::to_wstring(strTarget.size()) +
                               L" characters is too long to name a file\n",
                           LOG_STYLE_BOLD);
        g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
    }
}

void CSocketAccept::LogClientMarker() {
    if (win::IsDebugOutputOn()) {
        TraceW(win::AnsiToWide(m_strMarker));
    }
    g_Module.AppendLogUtf8(m_strMarker, LOG_STYLE_BOLD);
}

void CSocketAccept::LogClientBlock(std::wstring_view text) {
    LogClientMarker();
    TraceW(text);
    g_Module.AppendLog(text, LOG_STYLE_PLAIN);
}

void CSocketAccept::LogClientBlockBytes(std::string_view block) {
    LogClientMarker();
    if (win::IsDebugOutputOn()) {
        TraceW(win::BlockText(block));
    }
    g_Module.AppendLogBlock(block, LOG_STYLE_PLAIN);
}

void CSocketAccept::StopSession(bool bReset) {
    m_pRelay->NotifyStop();
    // A stop by the user may cut a transfer in the middle: both peers see a reset, so that
    // neither takes a cut answer (one without a length, say) for a whole one. Both sockets
    // are marked before either loop is asked to stop: one loop may serve both and close
    // them as soon as it wakes.
    CSocketClient* pClient = m_pClient;
    if (bReset) {
        if (const SOCKET hServer = pClient != nullptr ? pClient->GetSocket() : 0; hServer != 0) {
            SetResetOnClose(hServer);
        }
        if (const SOCKET hLocal = GetSocket(); hLocal != 0) {
            SetResetOnClose(hLocal);
        }
    }
    if (pClient != nullptr) {
        pClient->RequestStop();
    }
    RequestStop();
}
