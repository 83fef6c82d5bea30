#include "settings/RegKeyTalvex.h"

#include <cstdint>
#include <cwctype>
#include <limits>
#include <memory>

#include "platform/Kernel.h"
#include "platform/ShellFolders.h"
#include "platform/WinError.h"
#include "support/Exception.h"
#include "support/PathFolders.h"
#include "support/SystemErrorText.h"

using namespace win;

namespace {

constexpr const wchar_t* kValueReplaceHostHeader = L"Replace host header";
constexpr const wchar_t* kValueSaveResponse = L"Save Response";
constexpr const wchar_t* kValueKeepListening = L"Keep Listening When Unreachable";
constexpr const wchar_t* kValueDataFolder = L"Applacation Data Folder";
constexpr const wchar_t* kValueListenAddress = L"Listen Address";
constexpr const wchar_t* kValueDefaultServerID = L"Default Server ID";
constexpr const wchar_t* kValueURL = L"URL";
constexpr const wchar_t* kValuePort = L"Port";
constexpr const wchar_t* kValuePortRemote = L"Port Remote";

constexpr const wchar_t* kServers = L"\\Servers";

// Subkey names are 255 characters at most.
constexpr DWORD kNameBuffer = 256;

struct CDefaultServer {
    const wchar_t* pszURL;
    DWORD nPort;
};

constexpr CDefaultServer kDefaultServers[] = {
    {L"ftp://", 21}, {L"http://", 80}, {L"https://", 443}, {L"imap.", 143},
    {L"news.", 119}, {L"pop.", 110},   {L"smtp.", 25},
};

// The number of a server subkey: its name read as a decimal number (leading blanks and a
// sign allowed, reading stops at the first other character, 0 when there is no digit),
// limited to the range of LONG.
LONG ServerNumber(const wchar_t* pszName) {
    const wchar_t* p = pszName;
    while (std::iswspace(static_cast<wint_t>(*p))) {
        ++p;
    }
    const bool bNegative = *p == L'-';
    if (*p == L'-' || *p == L'+') {
        ++p;
    }
    std::int64_t n = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<LONG>::max()} + 1;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        n = n * 10 + (*p - L'0');
        if (n > kLimit) {
            n = kLimit;
        }
    }
    n = bNegative ? -n : n;
    if (n > std::numeric_limits<LONG>::max()) {
        return std::numeric_limits<LONG>::max();
    }
    return static_cast<LONG>(n);
}

}  // namespace

CRegKeyTalvex::CRegKeyTalvex(const wchar_t* pszSuffix)
    : CRegkeyBase(
          std::wstring(L"SOFTWARE\\Velmor\\Tapvane") + (pszSuffix ? pszSuffix : L"") + L"\\Config",
          HKEY_CURRENT_USER) {}

CRegKeyTalvex::~CRegKeyTalvex() = default;

std::wstring CRegKeyTalvex::ServerKeyName(LONG nServer) {
    return kServers + FormatW(L"\\%ld", nServer);
}

std::wstring CRegKeyTalvex::GetServerURL(LONG nServer) {
    return QueryString(kValueURL, L"", ServerKeyName(nServer).c_str(), KEY_ALL_ACCESS);
}

DWORD CRegKeyTalvex::GetServerPort(LONG nServer) {
    return QueryDWORD(kValuePort, 0, ServerKeyName(nServer).c_str(), KEY_ALL_ACCESS);
}

DWORD CRegKeyTalvex::GetServerPortRemote(LONG nServer) {
    return QueryDWORD(kValuePortRemote, 0, ServerKeyName(nServer).c_str(), KEY_ALL_ACCESS);
}

void CRegKeyTalvex::SetServerURL(LONG nServer, const wchar_t* pszURL) {
    SetString(kValueURL, pszURL, ServerKeyName(nServer).c_str());
}

void CRegKeyTalvex::SetServerPort(LONG nServer, DWORD nPort) {
    SetDWORD(kValuePort, nPort, ServerKeyName(nServer).c_str());
}

void CRegKeyTalvex::SetServerPortRemote(LONG nServer, DWORD nPortRemote) {
    SetDWORD(kValuePortRemote, nPortRemote, ServerKeyName(nServer).c_str());
}

bool CRegKeyTalvex::GetReplaceHostHeader() {
    return QueryDWORD(kValueReplaceHostHeader, 0, nullptr, KEY_ALL_ACCESS) == 1;
}

void CRegKeyTalvex::SetReplaceHostHeader(bool bReplace) {
    SetDWORD(kValueReplaceHostHeader, bReplace ? 1 : 0);
}

bool CRegKeyTalvex::GetKeepListening() {
    return QueryDWORD(kValueKeepListening, 0, nullptr, KEY_ALL_ACCESS) == 1;
}

void CRegKeyTalvex::SetKeepListening(bool bKeep) {
    SetDWORD(kValueKeepListening, bKeep ? 1 : 0);
}

bool CRegKeyTalvex::GetSaveResponse() {
    return QueryDWORD(kValueSaveResponse, 1, nullptr, KEY_ALL_ACCESS) == 1;
}

void CRegKeyTalvex::SetSaveResponse(bool bSave) {
    SetDWORD(kValueSaveResponse, bSave ? 1 : 0);
}

std::wstring CRegKeyTalvex::GetDataFolder() {
    // The default comes first, so every call makes the desktop folder again if it is gone.
    const std::wstring strDefault = DefaultDataFolder();
    return QueryString(kValueDataFolder, strDefault.c_str(), nullptr, KEY_ALL_ACCESS);
}

void CRegKeyTalvex::SetDataFolder(const wchar_t* pszFolder) {
    SetString(kValueDataFolder, pszFolder);
}

std::wstring CRegKeyTalvex::GetListenAddress() {
    return QueryString(kValueListenAddress, L"all", nullptr, KEY_ALL_ACCESS);
}

void CRegKeyTalvex::SetListenAddress(const wchar_t* pszAddress) {
    SetString(kValueListenAddress, pszAddress);
}

LONG CRegKeyTalvex::GetDefaultServerID() {
    return static_cast<LONG>(QueryDWORD(kValueDefaultServerID, 0, nullptr, KEY_ALL_ACCESS));
}

void CRegKeyTalvex::SetDefaultServerID(LONG nPosition) {
    SetDWORD(kValueDefaultServerID, static_cast<DWORD>(nPosition));
}

void CRegKeyTalvex::SetServer(const wchar_t* pszURL, DWORD nPort, DWORD nPortRemote) {
    const std::wstring strURL = pszURL != nullptr ? pszURL : L"";
    // One more than the largest number there is; kept wide so that it cannot overflow.
    std::int64_t nNew = 0;
    CRegkeyBase keyServers(GetKeyPath() + kServers, GetKeyRoot());
    if (keyServers.Open(GetKeyRoot(), keyServers.GetBaseKey().c_str(), KEY_ALL_ACCESS) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t szName[kNameBuffer];
            DWORD cchName = kNameBuffer;
            if (keyServers.EnumKey(i, szName, &cchName) != ERROR_SUCCESS) {
                break;
            }
            const LONG nServer = ServerNumber(szName);
            if (GetServerURL(nServer) == strURL) {
                // Only what changed is written: a session remembers its server on every
                // connection, nearly always with the ports it has already.
                if (GetServerPort(nServer) != nPort) {
                    SetServerPort(nServer, nPort);
                }
                if (GetServerPortRemote(nServer) != nPortRemote) {
                    SetServerPortRemote(nServer, nPortRemote);
                }
                return;
            }
            if (nNew < std::int64_t{nServer} + 1) {
                nNew = std::int64_t{nServer} + 1;
            }
        }
        keyServers.Close();
    }
    if (nNew > std::numeric_limits<LONG>::max()) {
        throw CException::Format(
            L"FATAL ERROR: No number is left for a new server entry below "
            L"%s\\%s\r\nURL: %s",
            KeyRootName(), keyServers.GetBaseKey(), strURL);
    }
    const auto nServer = static_cast<LONG>(nNew);
    SetServerURL(nServer, strURL.c_str());
    SetServerPort(nServer, nPort);
    SetServerPortRemote(nServer, nPortRemote);
}

void CRegKeyTalvex::AddDefaultServers() {
    for (const CDefaultServer& server : kDefaultServers) {
        SetServer(server.pszURL, server.nPort, 0);
    }
}

void CRegKeyTalvex::LoadServers(IServerList& list) {
    CRegkeyBase keyServers(GetKeyPath() + kServers, GetKeyRoot());
    if (keyServers.Open(GetKeyRoot(), keyServers.GetBaseKey().c_str(), KEY_ALL_ACCESS) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t szName[kNameBuffer];
        DWORD cchName = kNameBuffer;
        if (keyServers.EnumKey(i, szName, &cchName) != ERROR_SUCCESS) {
            break;
        }
        const LONG nServer = ServerNumber(szName);
        const int nPosition = list.AddText(GetServerURL(nServer));
        auto pPorts = std::make_unique<ServerPorts>();
        pPorts->nPort = GetServerPort(nServer);
        pPorts->nPortRemote = GetServerPortRemote(nServer);
        if (nPosition >= 0) {
            list.SetPorts(nPosition, std::move(pPorts));
        }
    }
    keyServers.Close();
    list.Select(GetDefaultServerID());
}

std::wstring CRegKeyTalvex::DefaultDataFolder() {
    wchar_t szDesktop[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, szDesktop, CSIDL_DESKTOP, TRUE)) {
        const DWORD dwError = GetLastError();
        throw CException::Format(L"The desktop folder cannot be found! %ld %s",
                                 static_cast<LONG>(dwError), GetSystemErrorText(dwError));
    }
    std::wstring strFolder = szDesktop;
    if (strFolder.empty() || strFolder.back() != L'/') {
        strFolder += L'/';
    }
    strFolder += L"Tapvane/";
    CreatePathFolders(strFolder);
    return strFolder;
}
