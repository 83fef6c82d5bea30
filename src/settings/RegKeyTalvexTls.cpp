// The TLS options of the application settings.
#include "settings/RegKeyTalvex.h"

namespace {

constexpr const wchar_t* kValueServerTls = L"Server uses TLS";
constexpr const wchar_t* kValueClientTls = L"Decrypt TLS from clients";
constexpr const wchar_t* kValueAcceptAny = L"Accept any server certificate";
constexpr const wchar_t* kValuePassthrough = L"TLS passthrough hosts";
constexpr const wchar_t* kValueKeyLogFile = L"TLS key log file";

}  // namespace

DWORD CRegKeyTalvex::GetServerTls() {
    const DWORD nMode = QueryDWORD(kValueServerTls, 0);
    return nMode <= 2 ? nMode : 0;
}

void CRegKeyTalvex::SetServerTls(DWORD nMode) {
    SetDWORD(kValueServerTls, nMode);
}

DWORD CRegKeyTalvex::GetClientTls() {
    return QueryDWORD(kValueClientTls, 0) == 1 ? 1 : 0;
}

void CRegKeyTalvex::SetClientTls(DWORD nMode) {
    SetDWORD(kValueClientTls, nMode);
}

bool CRegKeyTalvex::GetAcceptAnyServerCert() {
    return QueryDWORD(kValueAcceptAny, 0) == 1;
}

void CRegKeyTalvex::SetAcceptAnyServerCert(bool bAccept) {
    SetDWORD(kValueAcceptAny, bAccept ? 1 : 0);
}

std::wstring CRegKeyTalvex::GetTlsPassthrough() {
    return QueryString(kValuePassthrough);
}

void CRegKeyTalvex::SetTlsPassthrough(const wchar_t* pszPatterns) {
    SetString(kValuePassthrough, pszPatterns);
}

std::wstring CRegKeyTalvex::GetKeyLogFile() {
    return QueryString(kValueKeyLogFile);
}

void CRegKeyTalvex::SetKeyLogFile(const wchar_t* pszPath) {
    SetString(kValueKeyLogFile, pszPath);
}
