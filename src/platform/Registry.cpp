#include "platform/Registry.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/CaseFold.h"
#include "platform/Handles.h"
#include "platform/RegistryStore.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace win {

namespace {

// Counts the writes of this process and the store resets (see RegWriteGeneration).
std::atomic<std::uint64_t> g_nWriteGeneration{0};

// What a key handle stands for.
struct CRegKeyObject {
    HKEY hRoot = 0;
    // The store file the key was opened in; empty for the predefined roots, which always
    // mean the current store.
    std::string strStore;
    // The key's id in its store; 0 for the empty roots other than HKEY_CURRENT_USER.
    std::int64_t nId = 0;
    // Upper-cased path below the root.
    std::string strPath;
    REGSAM samGranted = 0;
};

// Rights that a store which cannot be written does not grant.
constexpr REGSAM kWriteAccess =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

CHandleTable<CRegKeyObject>& RegistryHandles() {
    static CHandleTable<CRegKeyObject> s_table;
    return s_table;
}

bool IsPredefinedRoot(HKEY h) {
    switch (h) {
        case HKEY_CLASSES_ROOT:
        case HKEY_CURRENT_USER:
        case HKEY_LOCAL_MACHINE:
        case HKEY_USERS:
        case HKEY_PERFORMANCE_DATA:
        case HKEY_CURRENT_CONFIG:
        case HKEY_DYN_DATA:
        case HKEY_PERFORMANCE_TEXT:
        case HKEY_PERFORMANCE_NLSTEXT:
            return true;
        default:
            return false;
    }
}

// The key behind `h`, or null when `h` is neither a root nor an open handle.
std::shared_ptr<const CRegKeyObject> FindKeyObject(HKEY h) {
    if (h == HKEY_CURRENT_USER) {
        static const auto s_pCurrentUser = std::make_shared<const CRegKeyObject>(
            CRegKeyObject{HKEY_CURRENT_USER, {}, kRootKeyId, {}, KEY_ALL_ACCESS});
        return s_pCurrentUser;
    }
    if (IsPredefinedRoot(h)) {
        return std::make_shared<const CRegKeyObject>(CRegKeyObject{h, {}, 0, {}, KEY_READ});
    }
    return RegistryHandles().Find(h);
}

HKEY InsertHandle(CRegKeyObject key) {
    auto p = std::make_shared<CRegKeyObject>(std::move(key));
    for (;;) {
        const HKEY h = RegistryHandles().Insert(p);
        if ((h & 0x80000000u) == 0) {
            return h;
        }
        RegistryHandles().Remove(h);  // the range of the predefined roots is not given out
    }
}

CKeyPart MakePart(std::wstring_view name) {
    return CKeyPart{WideToAnsi(name), WideToAnsi(UpperCase(name))};
}

// Splits a key path into its names. ERROR_BAD_PATHNAME for an empty name (a trailing
// backslash excepted), ERROR_INVALID_PARAMETER for one longer than kMaxKeyNameLength.
DWORD SplitPath(const wchar_t* pszPath, std::vector<CKeyPart>& parts) {
    std::wstring_view path = pszPath != nullptr ? std::wstring_view(pszPath) : std::wstring_view();
    if (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        return ERROR_SUCCESS;
    }
    for (;;) {
        const std::size_t nEnd = path.find(L'\\');
        const std::wstring_view name = path.substr(0, nEnd);
        if (name.empty()) {
            return ERROR_BAD_PATHNAME;
        }
        if (name.size() > kMaxKeyNameLength) {
            return ERROR_INVALID_PARAMETER;
        }
        parts.push_back(MakePart(name));
        if (nEnd == std::wstring_view::npos) {
            return ERROR_SUCCESS;
        }
        path.remove_prefix(nEnd + 1);
    }
}

std::string JoinPath(const std::string& strBase, const std::vector<CKeyPart>& parts) {
    std::string strPath = strBase;
    for (const CKeyPart& part : parts) {
        if (!strPath.empty()) {
            strPath += '\\';
        }
        strPath += part.strFold;
    }
    return strPath;
}

// A connection to the store for an operation on `key`: empty with `dwError` set when the
// store cannot be used or `key` belongs to a store that is no longer the current one.
CStoreLease StoreFor(const CRegKeyObject& key, DWORD& dwError) {
    CStoreLease pStore = CRegistryStore::Lease(dwError);
    if (pStore && !key.strStore.empty() && key.strStore != pStore->Path()) {
        dwError = ERROR_KEY_DELETED;
        return {};
    }
    return pStore;
}

// The store for a call on the values or subkeys of `key` that needs the right `samNeeded`:
// null with `dwStatus` set when the handle lacks that right (ERROR_ACCESS_DENIED), when it
// names a predefined root that holds nothing (`dwNothingBelow`), or when the store cannot be
// used.
CStoreLease StoreForAccess(const CRegKeyObject& key, REGSAM samNeeded, DWORD dwNothingBelow,
                           DWORD& dwStatus) {
    if ((key.samGranted & samNeeded) == 0) {
        dwStatus = ERROR_ACCESS_DENIED;
        return {};
    }
    if (key.nId == 0) {
        dwStatus = dwNothingBelow;
        return {};
    }
    return StoreFor(key, dwStatus);
}

// A value name as the store compares it.
std::string FoldedValueName(const wchar_t* pszValueName) {
    const std::wstring_view name =
        pszValueName != nullptr ? std::wstring_view(pszValueName) : std::wstring_view();
    return WideToAnsi(UpperCase(name));
}

}  // namespace

LONG RegOpenKeyExW(HKEY hKey, const wchar_t* pszSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                   HKEY* phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = 0;
    const auto pKey = FindKeyObject(hKey);
    if (pKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<CKeyPart> parts;
    if (SplitPath(pszSubKey, parts) != ERROR_SUCCESS) {
        return ERROR_FILE_NOT_FOUND;  // no key has such a name
    }
    if (pKey->nId == 0) {
        if (!parts.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if ((samDesired & kWriteAccess) != 0) {
            return ERROR_ACCESS_DENIED;
        }
        *phkResult = InsertHandle(CRegKeyObject{pKey->hRoot, {}, 0, {}, samDesired});
        return ERROR_SUCCESS;
    }
    DWORD dw = ERROR_SUCCESS;
    CStoreLease pStore = StoreFor(*pKey, dw);
    if (!pStore) {
        return static_cast<LONG>(dw);
    }
    std::string strPath = JoinPath(pKey->strPath, parts);
    std::int64_t nId = pKey->nId;
    if (!parts.empty()) {
        dw = pStore->FindKey(strPath, nId);
        if (dw != ERROR_SUCCESS) {
            return static_cast<LONG>(dw);
        }
    }
    if ((samDesired & kWriteAccess) != 0 && pStore->IsReadOnly()) {
        return ERROR_ACCESS_DENIED;
    }
    *phkResult = InsertHandle(
        CRegKeyObject{pKey->hRoot, pStore->Path(), nId, std::move(strPath), samDesired});
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, const wchar_t* pszSubKey, DWORD dwReserved,
                     const wchar_t* /*pszClass*/, DWORD dwOptions, REGSAM samDesired,
                     const void* pSecurityAttributes, HKEY* phkResult, DWORD* pdwDisposition) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = 0;
    if (dwReserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE || pSecurityAttributes != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto pKey = FindKeyObject(hKey);
    if (pKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<CKeyPart> parts;
    DWORD dw = SplitPath(pszSubKey, parts);
    if (dw != ERROR_SUCCESS) {
        return static_cast<LONG>(dw);
    }
    if (pKey->nId == 0) {
        if (!parts.empty()) {
            return ERROR_ACCESS_DENIED;
        }
        return RegOpenKeyExW(hKey, nullptr, 0, samDesired, phkResult);
    }
    CStoreLease pStore = StoreFor(*pKey, dw);
    if (!pStore) {
        return static_cast<LONG>(dw);
    }
    std::string strPath = JoinPath(pKey->strPath, parts);
    std::int64_t nId = pKey->nId;
    bool bCreated = false;
    dw = parts.empty() ? ERROR_SUCCESS : pStore->FindKey(strPath, nId);
    if (dw == ERROR_FILE_NOT_FOUND) {
        if ((pKey->samGranted & KEY_CREATE_SUB_KEY) == 0) {
            return ERROR_ACCESS_DENIED;
        }
        dw = pStore->CreateKey(pKey->nId, pKey->strPath, parts, nId, bCreated);
    }
    if (dw != ERROR_SUCCESS) {
        return static_cast<LONG>(dw);
    }
    if ((samDesired & kWriteAccess) != 0 && pStore->IsReadOnly()) {
        return ERROR_ACCESS_DENIED;
    }
    *phkResult = InsertHandle(
        CRegKeyObject{pKey->hRoot, pStore->Path(), nId, std::move(strPath), samDesired});
    if (pdwDisposition != nullptr) {
        *pdwDisposition = bCreated ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, const wchar_t* pszValueName, DWORD dwReserved, DWORD dwType,
                    const BYTE* pData, DWORD cbData) {
    const auto pKey = FindKeyObject(hKey);
    if (pKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (dwReserved != 0 || (pData == nullptr && cbData != 0) || cbData > 0x7FFFFFFFu) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring_view name =
        pszValueName != nullptr ? std::wstring_view(pszValueName) : std::wstring_view();
    if (name.size() > kMaxValueNameLength) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dw = ERROR_SUCCESS;
    CStoreLease pStore = StoreForAccess(*pKey, KEY_SET_VALUE, ERROR_ACCESS_DENIED, dw);
    if (!pStore) {
        return static_cast<LONG>(dw);
    }
    const DWORD dwSet = pStore->SetValue(pKey->nId, MakePart(name), dwType, pData, cbData);
    if (dwSet == ERROR_SUCCESS) {
        g_nWriteGeneration.fetch_add(1, std::memory_order_acq_rel);
    }
    return static_cast<LONG>(dwSet);
}

LONG RegQueryValueExW(HKEY hKey, const wchar_t* pszValueName, DWORD* pdwReserved, DWORD* pdwType,
                      BYTE* pData, DWORD* pcbData) {
    const auto pKey = FindKeyObject(hKey);
    if (pKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (pdwReserved != nullptr || (pData != nullptr && pcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dw = ERROR_SUCCESS;
    CStoreLease pStore = StoreForAccess(*pKey, KEY_QUERY_VALUE, ERROR_FILE_NOT_FOUND, dw);
    if (!pStore) {
        return static_cast<LONG>(dw);
    }
    return static_cast<LONG>(
        pStore->QueryValue(pKey->nId, FoldedValueName(pszValueName), pdwType, pData, pcbData));
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, wchar_t* pszName, DWORD* pcchName, DWORD* pdwReserved,
                   wchar_t* pszClass, DWORD* pcchClass, FILETIME* pftLastWriteTime) {
    const auto pKey = FindKeyObject(hKey);
    if (pKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (pszName == nullptr || pcchName == nullptr || pdwReserved != nullptr ||
        (pszClass != nullptr && pcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dw = ERROR_SUCCESS;
    CStoreLease pStore = StoreForAccess(*pKey, KEY_ENUMERATE_SUB_KEYS, ERROR_NO_MORE_ITEMS, dw);
    if (!pStore) {
        return static_cast<LONG>(dw);
    }
    std::string strName;
    std::uint64_t nWritten = 0;
    dw = pStore->EnumSubKey(pKey->nId, dwIndex, strName, nWritten);
    if (dw != ERROR_SUCCESS) {
        return static_cast<LONG>(dw);
    }
    const std::wstring name = AnsiToWide(strName);
    if (name.size() >= *pcchName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(pszName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    *pcchName = static_cast<DWORD>(name.size());
    if (pszClass != nullptr && *pcchClass > 0) {
        pszClass[0] = L'\0';
    }
    if (pcchClass != nullptr) {
        *pcchClass = 0;
    }
    if (pftLastWriteTime != nullptr) {
        pftLastWriteTime->dwLowDateTime = static_cast<DWORD>(nWritten);
        pftLastWriteTime->dwHighDateTime = static_cast<DWORD>(nWritten >> 32);
    }
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY hKey, const wchar_t* pszValueName) {
    const auto pKey = FindKeyObject(hKey);
    if (pKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    DWORD dw = ERROR_SUCCESS;
    CStoreLease pStore = StoreForAccess(*pKey, KEY_SET_VALUE, ERROR_FILE_NOT_FOUND, dw);
    if (!pStore) {
        return static_cast<LONG>(dw);
    }
    const DWORD dwDeleted = pStore->DeleteValue(pKey->nId, FoldedValueName(pszValueName));
    if (dwDeleted == ERROR_SUCCESS) {
        g_nWriteGeneration.fetch_add(1, std::memory_order_acq_rel);
    }
    return static_cast<LONG>(dwDeleted);
}

LONG RegCloseKey(HKEY hKey) {
    if (IsPredefinedRoot(hKey)) {
        return ERROR_SUCCESS;
    }
    return RegistryHandles().Remove(hKey) != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::wstring RegStorePath() {
    return AnsiToWide(CRegistryStore::PathFromEnvironment());
}

void RegResetStoreConnections(bool bForceReadOnly) {
    CRegistryStore::ResetConnections(bForceReadOnly);
    g_nWriteGeneration.fetch_add(1, std::memory_order_acq_rel);
}

std::uint64_t RegWriteGeneration() {
    return g_nWriteGeneration.load(std::memory_order_acquire);
}

}  // namespace win
