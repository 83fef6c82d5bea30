#include "capture/SocketAccept.h"

#include "module/MyModule.h"
#include "capture/ArrayListen.h"
#include "capture/SocketClient.h"
#include "capture/SplitLines.h"
#include "platform/DebugOutput.h"
#include "platform/TextConv.h"
#include "support/FileException.h"
#include "support/ResourceStrings.h"
#include "support/Trace.h"

namespace {

constexpr auto kHalfCloseSilence = std::chrono::seconds(10);

}  // namespace

HWND MainWindowHandle() {
    return static_cast<HWND>(g_Module.GetMainWindow());
}

CSocketAccept::CSocketAccept()
    : CSocketTelnet(FALSE, kVesselDataSize),
      m_nSession(0),
      m_pArrayListen(nullptr),
      m_pClient(nullptr),
      m_bReplaceHost(false),
      m_pRelay(std::make_shared<CRelayState>()) {
    m_pClient = new CSocketClient(this, false);
}

CSocketAccept::CSocketAccept(CSocketAccept& vessel, CArrayListen& arrayListen)
    : CSocketTelnet(vessel, FALSE, kDataSize),
      m_nSession(arrayListen.NextSessionNumber()),
      m_pArrayListen(&arrayListen),
      m_pClient(nullptr),
      m_bReplaceHost(false),
      m_pRelay(std::make_shared<CRelayState>()) {
    m_pClient = new CSocketClient(this);
    try {
        CRegKeyTalvex regKey;
        m_bReplaceHost = regKey.GetReplaceHostHeader();
        StartThread();
    } catch (...) {
        delete m_pClient.exchange(nullptr);
        throw;
    }
}

CSocketAccept::~CSocketAccept() {
    {
        // The hand-over of the client is decided under the module lock, which its thread
        // also takes at its end: either it still runs and deletes itself later, or it has
        // ended and is deleted here.
        CModuleLock lock;
        if (CSocketClient* pClient = m_pClient.exchange(nullptr)) {
            if (pClient->IsLoopRunning()) {
                pClient->Detach();
            } else if (!pClient->IsDestroyed()) {
                pClient->Detach();
                delete pClient;
            }
        }
    }
    if (m_pArrayListen != nullptr) {
        m_pArrayListen->Remove(this);
        std::wstring strText;
        FormatResource(strText, 132, m_pArrayListen->GetCount());
        g_Module.SetStatusText(strText, STATUS_PANE_SESSIONS);
    }
}

void CSocketAccept::WriteSessionLine(UINT nId) {
    CModuleLock lock;
    std::wstring strText;
    FormatResource(strText, nId, m_nSession);
    g_Module.SetStatusText(strText, STATUS_PANE_TEXT);
    const std::wstring strLine = L"\r\n" + strText;
    TraceW(strLine);
    g_Module.AppendLog(strLine, LOG_STYLE_BOLD);
    TraceW(L"");
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
}

void CSocketAccept::Proc() {
    WriteSessionLine(147);
    try {
        CSocketClient* pClient = m_pClient;
        if (pClient != nullptr && pClient->ConnectToServer()) {
            CSocketTelnet::Proc();
        } else {
            // The local client is let go at once instead of waiting for the process to end;
            // closing before listening is switched off also spares the stop a wait for a
            // loop that never runs.
            Close();
            g_Module.ToggleListening(false);
            CloseThreadHandle();
        }
    } catch (CException* e) {
        Trace(L"%s", e->GetText());
        delete e;
        Close();
    }
    m_pRelay->NotifyEnded(CRelayState::Local);
    WriteSessionLine(148);
}

void CSocketAccept::OnClose(int nErrorCode) {
    CSocketClient* pClient = m_pClient;
    if (nErrorCode == 0 && pClient != nullptr) {
        // An orderly close ends only the client's direction: the server learns of it, and
        // what it still sends reaches the local client, until it closes too or goes quiet.
        m_pRelay->MarkClosed(CRelayState::Local);
        win::shutdown(pClient->GetSocket(), win::SD_SEND);
        m_pRelay->WaitOtherSide(CRelayState::Local, kHalfCloseSilence);
    }
    if (pClient != nullptr && pClient->IsThreadStarted()) {
        pClient->StopThread(1000);
    }
    CSocketTelnet::OnClose(nErrorCode);
}

int CSocketAccept::SetError(const wchar_t* pszContext, BOOL /*bThrow*/) {
    return CSocketBlocking::SetError(pszContext, FALSE, 0);
}

void CSocketAccept::OnThreadEnd() {
    g_Module.DeleteSessionLater(this);
}

void CSocketAccept::OnReceive(int nErrorCode) {
    CModuleLock lock;
    try {
        // A block that goes on with a request (its header lines or its body) leaves the
        // capture of the coming response alone; any other block ends it.
        if (CSocketClient* pClient = m_pClient;
            pClient != nullptr && m_request.IsBetweenRequests()) {
            pClient->ResetResponse();
        }
        CheckReceiveError(nErrorCode);
        const bool bSaveResponse = m_regKey.GetSaveResponse();
        if (m_bReplaceHost || bSaveResponse) {
            ReceiveHttpBlock(bSaveResponse);
        } else {
            m_request.Restart();
            RelayBlock();
        }
        m_pRelay->NotifyActivity(CRelayState::Local);
    } catch (CFileException* e) {
        const std::wstring strMessage = e->GetErrorMessage(255);
        delete e;
        throw new CException(strMessage);
    }
}

void CSocketAccept::RelayBlock() {
    ReceiveData();
    const std::string_view block(GetData(), static_cast<std::size_t>(GetDataLength()));
    if (CSocketClient* pClient = m_pClient; pClient != nullptr && !block.empty()) {
        pClient->SendAll(block.data(), static_cast<int>(block.size()), 10);
    }
    LogClientBlockBytes(block);
}

std::wstring CSocketAccept::ReceiveString() {
    RelayBlock();
    return win::BlockText(std::string_view(GetData(), static_cast<std::size_t>(GetDataLength())));
}

void CSocketAccept::ReceiveHttpBlock(bool bSaveResponse) {
    LogClientBlock(L"");
    m_strRequest.clear();
    ReceiveData();
    m_request.Feed(std::string_view(GetData(), static_cast<std::size_t>(GetDataLength())),
                   m_bReplaceHost, bSaveResponse, *this, m_strRequest);
    if (CSocketClient* pClient = m_pClient; pClient != nullptr && !m_strRequest.empty()) {
        pClient->SendAll(m_strRequest.data(), static_cast<int>(m_strRequest.size()), 10);
    }
    TraceA(m_strRequest);
    g_Module.AppendLogBlock(m_strRequest, LOG_STYLE_KEEP);
}

bool CSocketAccept::OnLine(const std::wstring& strLine) {
    m_request.Feed(win::WideToAnsi(strLine), m_bReplaceHost, m_regKey.GetSaveResponse(), *this,
                   m_strRequest);
    return false;
}

std::wstring CSocketAccept::GetUrl() {
    std::wstring strUrl;
    g_Module.GetConnectionSettings(strUrl, nullptr, nullptr);
    return strUrl;
}

void CSocketAccept::OnRequestTarget(const std::wstring& strTarget) {
    CSocketClient* pClient = m_pClient;
    if (pClient == nullptr) {
        return;
    }
    if (std::optional<std::wstring> strPath =
            ResponseFilePath(m_regKey.GetDataFolder(), pClient->GetHost(), strTarget)) {
        pClient->SetResponseFile(*strPath);
    }
}

void CSocketAccept::LogClientMarker() {
    const std::wstring strMarker = win::FormatW(L"\r\n%d---<---", m_nSession);
    TraceW(strMarker);
    g_Module.AppendLog(strMarker, LOG_STYLE_BOLD);
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

void CSocketAccept::StopSession() {
    m_pRelay->NotifyStop();
    CSocketClient* pClient = m_pClient;
    if (pClient != nullptr && pClient->IsThreadStarted()) {
        pClient->StopThread(INFINITE);
    }
    StopThread(1000);
}
