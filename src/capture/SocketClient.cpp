#include "capture/SocketClient.h"

#include <array>

#include "module/MyModule.h"
#include "capture/ClientCount.h"
#include "capture/SocketAccept.h"
#include "capture/SplitLines.h"
#include "platform/DebugOutput.h"
#include "platform/TextConv.h"
#include "support/FileException.h"
#include "support/ResourceStrings.h"
#include "support/ShowMessage.h"
#include "support/Trace.h"

std::atomic<long> g_nClientsCount{0};
std::atomic<bool> g_bCloseWhenNoClients{false};

namespace {

constexpr auto kHalfCloseSilence = std::chrono::seconds(10);

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

CSocketClient::CSocketClient(CSocketAccept* pAccept, bool bCounted)
    : CSocketTelnet(TRUE, kDataSize),
      m_pAccept(pAccept),
      m_bCounted(bCounted),
      m_pRelay(pAccept ? pAccept->GetRelayState() : std::make_shared<CRelayState>()) {
    if (m_bCounted) {
        ++g_nClientsCount;
    }
}

CSocketClient::~CSocketClient() {
    // The thread has ended (or never ran): nobody else touches the capture now.
    CloseResponseFile();
    m_bDestroyed = true;
    if (CSocketAccept* pAccept = m_pAccept) {
        pAccept->ForgetClient();
    }
    if (!m_bCounted) {
        return;
    }
    const long nBefore = g_nClientsCount.fetch_sub(1);
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
    g_Module.GetConnectionSettings(m_strHost, &nLocalPort, &nRemotePort);
    RemoveScheme(m_strHost);

    Create(SOCK_STREAM);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    Bind(addr);
    if (Connect(m_strHost.c_str(), nRemotePort, FALSE) != 0) {
        Close();
        std::wstring strText;
        FormatResource(strText, 140, m_strHost, nRemotePort);
        ShowMessage(strText, MB_ICONERROR, MainWindowHandle());
        return false;
    }
    {
        CModuleLock lock;
        m_bLoopRunning = true;
    }
    try {
        StartThread();
    } catch (...) {
        CModuleLock lock;
        m_bLoopRunning = false;
        throw;
    }
    CRegKeyTalvex regKey;
    regKey.SetServer(m_strHost.c_str(), static_cast<DWORD>(nLocalPort),
                     static_cast<DWORD>(nRemotePort));
    return true;
}

void CSocketClient::SetResponseFile(const std::wstring& strPath) {
    m_strResponseFile = strPath;
    m_scan.Start();
}

void CSocketClient::ResetResponse() {
    m_scan.Reset(*this);  // the held end of a text body still goes to its file
    m_strResponseFile.clear();
}

void CSocketClient::CaptureBlock(std::string_view block) {
    CModuleLock lock;
    if (!m_strResponseFile.empty()) {
        m_scan.Feed(block, *this);
    }
}

void CSocketClient::OnBodyStart() {
    m_responseFile.Close();
}

void CSocketClient::OnBodyText(std::string_view line) {
    m_responseFile.OpenResponse(m_strResponseFile, true);
    m_responseFile.WriteText(win::AnsiToWide(line));
}

void CSocketClient::OnBodyBinary(std::string_view bytes) {
    m_responseFile.OpenResponse(m_strResponseFile, false);
    m_responseFile.Write(bytes.data(), static_cast<UINT>(bytes.size()));
}

void CSocketClient::CloseResponseFile() {
    const std::string strTail = m_scan.TakeTextTail();
    try {
        if (m_responseFile.IsOpen()) {
            m_responseFile.WriteText(win::AnsiToWide(strTail));
        }
        m_responseFile.Close();
    } catch (CFileException* e) {
        Trace(L"%s", e->GetErrorMessage(255));
        delete e;
        try {
            m_responseFile.Close();
        } catch (CFileException* e2) {
            delete e2;
        }
    }
}

void CSocketClient::ForwardToClient(int nBytes, const char* pBytes) {
    CSocketAccept* pAccept = m_pAccept;
    if (pAccept != nullptr && nBytes > 0) {
        pAccept->SendAll(pBytes, nBytes, 10);
    }
    const std::wstring strMarker =
        L"\r\n" + (pAccept ? win::FormatW(L"%d", pAccept->GetSession()) : std::wstring()) +
        L"--->---";
    TraceW(strMarker);
    g_Module.AppendLog(strMarker, LOG_STYLE_BOLD);
    const std::string_view block(pBytes, static_cast<std::size_t>(nBytes > 0 ? nBytes : 0));
    if (win::IsDebugOutputOn()) {
        TraceW(win::BlockText(block));
    }
    g_Module.AppendLogBlock(block, LOG_STYLE_PLAIN);
}

void CSocketClient::OnReceive(int nErrorCode) {
    CModuleLock lock;
    try {
        CheckReceiveError(nErrorCode);
        ReceiveData();
        ForwardToClient(GetDataLength(), GetData());
        CaptureBlock(std::string_view(GetData(), static_cast<std::size_t>(GetDataLength())));
        m_pRelay->NotifyActivity(CRelayState::Server);
    } catch (CFileException* e) {
        const std::wstring strMessage = e->GetErrorMessage(255);
        delete e;
        throw new CException(strMessage);
    }
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

void CSocketClient::OnClose(int nErrorCode) {
    if (nErrorCode == 0) {
        // The server finished sending: the local client learns of it, and what it still
        // sends reaches the server, until it closes too or goes quiet.
        m_pRelay->MarkClosed(CRelayState::Server);
        {
            // The session is not deleted meanwhile (see below).
            CModuleLock lock;
            if (CSocketAccept* pAccept = m_pAccept) {
                win::shutdown(pAccept->GetSocket(), win::SD_SEND);
            }
        }
        m_pRelay->WaitOtherSide(CRelayState::Server, kHalfCloseSilence);
    }
    {
        // Under the module lock the session cannot be deleted meanwhile (its destructor
        // takes the lock to let go of this client).
        CModuleLock lock;
        if (CSocketAccept* pAccept = m_pAccept) {
            pAccept->StopSession();
        }
    }
    CSocketTelnet::OnClose(nErrorCode);
}

void CSocketClient::OnThreadEnd() {
    {
        // The session thread may still reset the capture meanwhile.
        CModuleLock lock;
        CloseResponseFile();
    }
    m_pRelay->NotifyEnded(CRelayState::Server);
    CModuleLock lock;
    m_bLoopRunning = false;
    if (m_pAccept == nullptr) {
        // The session has let go of this client: nobody else deletes it.
        g_Module.DeleteClientLater(this);
    }
}
