#include "settings/RegkeyBase.h"

#include <utility>
#include <vector>

#include "platform/WinError.h"
#include "support/Exception.h"
#include "support/SystemErrorText.h"

using namespace win;

namespace {

constexpr REGSAM kWriteSam = KEY_READ | KEY_WRITE;  // 0x2001F

constexpr const wchar_t* kLeadSetString = L"Set string to system registry failed!\r\nKey Name: ";
constexpr const wchar_t* kLeadQueryString =
    L"Query string from system registry failed!\r\nKey Name: ";
constexpr const wchar_t* kLeadSetDWORD =
    L"Set DWORD value to system registry failed!\r\nKey Name: ";
constexpr const wchar_t* kLeadCreateKey =
    L"Create key in the system registry failed!\r\nKey Name: ";

bool IsTextType(DWORD dwType) {
    return dwType == REG_SZ || dwType == REG_EXPAND_SZ;
}

}  // namespace

CRegkeyBase::CRegkeyBase(std::wstring strBaseKey, HKEY hKeyRoot)
    : m_strBaseKey(std::move(strBaseKey)), m_hKeyRoot(hKeyRoot) {}

CRegkeyBase::~CRegkeyBase() {
    Close();
}

std::wstring CRegkeyBase::KeyPath(const wchar_t* pszSubKey) const {
    return pszSubKey != nullptr ? m_strBaseKey + pszSubKey : m_strBaseKey;
}

std::wstring CRegkeyBase::ValueContext(const wchar_t* pszLead, const wchar_t* pszSubKey,
                                       const wchar_t* pszValueName) const {
    return pszLead + KeyRootName() + L"\\" + KeyPath(pszSubKey) + L"\r\nValue Name: " +
           (pszValueName != nullptr ? pszValueName : L"");
}

LONG CRegkeyBase::Open(HKEY hKeyParent, const wchar_t* pszKeyName, REGSAM samDesired) {
    HKEY hKey = 0;
    const LONG lResult = RegOpenKeyExW(hKeyParent, pszKeyName, 0, samDesired, &hKey);
    if (lResult == ERROR_SUCCESS) {
        Attach(hKey);
        return lResult;
    }
    if (lResult == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        return lResult;
    }
    Close();  // the next operation starts closed
    throw CException::Format(
        L"CRegkeyBase::Open(HKEY hKeyParent, LPCTSTR lpszKeyName: \"%s\", REGSAM samDesired) "
        L"failed! res = %ld %s",
        pszKeyName != nullptr ? pszKeyName : L"", lResult,
        GetSystemErrorText(static_cast<DWORD>(lResult)));
}

void CRegkeyBase::CheckResult(LONG lResult, const std::wstring& strContext) {
    if (lResult == ERROR_SUCCESS) {
        return;
    }
    Close();
    // The context is appended as it is: it may hold any character, '%' included.
    throw new CException(L"FATAL ERROR: " + strContext + FormatW(L"\r\n\r\n%ld ", lResult) +
                         GetSystemErrorText(static_cast<DWORD>(lResult)));
}

std::wstring CRegkeyBase::KeyRootName() const {
    return KeyRootName(m_hKeyRoot);
}

std::wstring CRegkeyBase::KeyRootName(HKEY hKeyRoot) {
    switch (hKeyRoot) {
        case 0x80000000u:
            return L"HKEY_CLASSES_ROOT";
        case 0x80000001u:
            return L"HKEY_CURRENT_USER";
        case 0x80000002u:
            return L"HKEY_LOCAL_MACHINE";
        case 0x80000003u:
            return L"HKEY_USERS";
        case 0x80000004u:
            return L"HKEY_PERFORMANCE_DATA";
        case 0x80000050u:
            return L"HKEY_PERFORMANCE_TEXT";
        case 0x80000060u:
            return L"HKEY_PERFORMANCE_NLSTEXT";
        case 0x80000005u:
            return L"HKEY_CURRENT_CONFIG";
        case 0x80000006u:
            return L"HKEY_DYN_DATA";
        default:
            return L"<Unknown key root>";
    }
}

const wchar_t* CRegkeyBase::GetStringSecurityDescriptor() const {
    return nullptr;
}

bool CRegkeyBase::PermissionsGranted() {
    return true;
}

void CRegkeyBase::EnsureKey(const wchar_t* pszSubKey) {
    const wchar_t* pszDescriptor = GetStringSecurityDescriptor();
    const std::wstring strPath = KeyPath(pszSubKey);
    HKEY hKey = 0;
    if (RegOpenKeyExW(m_hKeyRoot, strPath.c_str(), 0, kWriteSam, &hKey) == ERROR_SUCCESS) {
        Attach(hKey);
        // The store keeps no per-key permissions: whatever the answer, nothing can be
        // granted, and the write itself tells whether the store takes it.
        PermissionsGranted();
        return;
    }
    LONG lResult = ERROR_NOT_SUPPORTED;
    if (pszDescriptor == nullptr) {
        lResult = RegCreateKeyExW(m_hKeyRoot, strPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  kWriteSam, nullptr, &hKey, nullptr);
    }
    if (lResult == ERROR_SUCCESS) {
        Attach(hKey);
    }
    CheckResult(lResult, kLeadCreateKey + KeyRootName() + L"\\" + strPath);
    ClearEntries();
}

DWORD CRegkeyBase::QueryDWORD(const wchar_t* pszValueName, DWORD dwDefault,
                              const wchar_t* pszSubKey, REGSAM samDesired) {
    const std::wstring strPath = KeyPath(pszSubKey);
    if (Open(m_hKeyRoot, strPath.c_str(), samDesired) == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        return dwDefault;
    }
    DWORD dwValue = dwDefault;
    DWORD dwRead = 0;
    DWORD dwType = REG_NONE;
    DWORD cb = sizeof dwRead;
    const LONG lResult = RegQueryValueExW(m_hKey, pszValueName, nullptr, &dwType,
                                          reinterpret_cast<BYTE*>(&dwRead), &cb);
    // Only a whole REG_DWORD replaces the default; a missing value or one of another type
    // or size leaves it.
    if (lResult == ERROR_SUCCESS && dwType == REG_DWORD && cb == sizeof dwRead) {
        dwValue = dwRead;
    }
    Close();
    return dwValue;
}

void CRegkeyBase::SetDWORD(const wchar_t* pszValueName, DWORD dwValue, const wchar_t* pszSubKey) {
    EnsureKey(pszSubKey);
    const LONG lResult = RegSetValueExW(m_hKey, pszValueName, 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
    CheckResult(lResult, ValueContext(kLeadSetDWORD, pszSubKey, pszValueName));
    Close();
}

std::wstring CRegkeyBase::QueryString(const wchar_t* pszValueName, const wchar_t* pszDefault,
                                      const wchar_t* pszSubKey, REGSAM samDesired,
                                      bool* pbMissing) {
    std::wstring strResult = pszDefault != nullptr ? pszDefault : L"";
    const std::wstring strPath = KeyPath(pszSubKey);
    if (Open(m_hKeyRoot, strPath.c_str(), samDesired) == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
        return strResult;
    }
    DWORD dwType = REG_NONE;
    DWORD cb = 0;
    LONG lResult = RegQueryValueExW(m_hKey, pszValueName, nullptr, &dwType, nullptr, &cb);
    if (lResult == ERROR_SUCCESS && !IsTextType(dwType)) {
        lResult = ERROR_INVALID_DATA;
    }
    if (lResult != ERROR_SUCCESS) {
        if (pbMissing != nullptr) {
            *pbMissing = true;
        }
        Close();
        return strResult;
    }
    std::vector<wchar_t> buffer;
    do {
        // Room for the reported size and two more characters, so that the text ends with a
        // zero even when it was stored without one. Another thread or process may make the
        // value longer between the size and the read: then read again with the new size.
        buffer.assign((cb + sizeof(wchar_t) - 1) / sizeof(wchar_t) + 2, L'\0');
        cb = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        lResult = RegQueryValueExW(m_hKey, pszValueName, nullptr, &dwType,
                                   reinterpret_cast<BYTE*>(buffer.data()), &cb);
    } while (lResult == static_cast<LONG>(ERROR_MORE_DATA));
    if (lResult == ERROR_SUCCESS && !IsTextType(dwType)) {
        lResult = ERROR_INVALID_DATA;
    }
    CheckResult(lResult, ValueContext(kLeadQueryString, pszSubKey, pszValueName));
    strResult = buffer.data();
    if (pbMissing != nullptr) {
        *pbMissing = false;
    }
    Close();
    return strResult;
}

void CRegkeyBase::SetString(const wchar_t* pszValueName, const wchar_t* pszText,
                            const wchar_t* pszSubKey) {
    EnsureKey(pszSubKey);
    const std::wstring strText = pszText != nullptr ? pszText : L"";
    const LONG lResult = RegSetValueExW(m_hKey, pszValueName, 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(strText.c_str()),
                                        static_cast<DWORD>((strText.size() + 1) * sizeof(wchar_t)));
    CheckResult(lResult, ValueContext(kLeadSetString, pszSubKey, pszValueName));
    Close();
}

LONG CRegkeyBase::EnumKey(DWORD iIndex, wchar_t* pszName, DWORD* pdwNameLength,
                          FILETIME* pftLastWriteTime) {
    return RegEnumKeyExW(m_hKey, iIndex, pszName, pdwNameLength, nullptr, nullptr, nullptr,
                         pftLastWriteTime);
}
