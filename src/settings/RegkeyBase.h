// Reading and writing the program's settings in the registry.
//
// An instance is bound to a root key and a base key path. Every operation opens the key it
// needs, makes one access and closes the key again; every unexpected failure becomes a
// CException whose text names the root, the key path and the value. Only Open leaves its
// handle open, for a following EnumKey; its caller closes it. Cheap to make: construct one
// for a task, on the thread that uses it.
#pragma once

#include <string>

#include "platform/RegKey.h"
#include "platform/Registry.h"
#include "settings/AclInfoBase.h"

class CRegkeyBase : public win::CRegKey, public CAclInfoBase {
public:
    // Stores the base path (below the root, without leading or trailing backslash) and the
    // root; opens nothing.
    CRegkeyBase(std::wstring strBaseKey, HKEY hKeyRoot);
    ~CRegkeyBase() override;

    // Opens `pszKeyName` below `hKeyParent` and holds the handle, closing the one held
    // before. 0, or 2 (ERROR_FILE_NOT_FOUND) when there is no such key; any other failure
    // raises a CException* (and leaves no handle held).
    LONG Open(HKEY hKeyParent, const wchar_t* pszKeyName, REGSAM samDesired);

    // The REG_DWORD value `pszValueName` of base path + `pszSubKey` (the caller gives the
    // leading backslash, as in "\Servers\3"; null for the base key), or `dwDefault` when the
    // key or value is missing or is not a 4-byte REG_DWORD.
    virtual DWORD QueryDWORD(const wchar_t* pszValueName, DWORD dwDefault,
                             const wchar_t* pszSubKey = nullptr,
                             REGSAM samDesired = win::KEY_ALL_ACCESS);

    // Writes a REG_DWORD, creating the key first when it is missing.
    virtual void SetDWORD(const wchar_t* pszValueName, DWORD dwValue,
                          const wchar_t* pszSubKey = nullptr);

    // The security descriptor, in the system's string form, for keys this class has to
    // create; null for the default security. The store cannot apply a descriptor, so a key
    // class that gives one cannot create keys (ERROR_NOT_SUPPORTED).
    virtual const wchar_t* GetStringSecurityDescriptor() const;

    // Whether an existing key already grants what this class needs. The store has no
    // per-key permissions, so there is nothing to grant either way.
    virtual bool PermissionsGranted();

    // The REG_SZ or REG_EXPAND_SZ value up to its first zero, or `pszDefault` (null: empty)
    // when the key is missing, or when the value is missing or of another type, which also
    // sets `*pbMissing` (when given) to true. A read value sets it to false; a missing key
    // leaves it alone.
    std::wstring QueryString(const wchar_t* pszValueName, const wchar_t* pszDefault = nullptr,
                             const wchar_t* pszSubKey = nullptr,
                             REGSAM samDesired = win::KEY_ALL_ACCESS, bool* pbMissing = nullptr);

    // Writes a REG_SZ with its terminating zero (null: empty text), creating the key first
    // when it is missing.
    void SetString(const wchar_t* pszValueName, const wchar_t* pszText,
                   const wchar_t* pszSubKey = nullptr);

    // The subkey at `iIndex` of the key held open by Open: RegEnumKeyExW's status unchanged.
    LONG EnumKey(DWORD iIndex, wchar_t* pszName, DWORD* pdwNameLength,
                 win::FILETIME* pftLastWriteTime = nullptr);

    // The name of this object's root ("HKEY_CURRENT_USER", "<Unknown key root>", ...).
    std::wstring KeyRootName() const;
    static std::wstring KeyRootName(HKEY hKeyRoot);

    // Returns when `lResult` is 0; otherwise closes the held handle and raises a CException*
    // with "FATAL ERROR: " + `strContext` + the code and its system text.
    void CheckResult(LONG lResult, const std::wstring& strContext);

    const std::wstring& GetBaseKey() const { return m_strBaseKey; }
    HKEY GetKeyRoot() const { return m_hKeyRoot; }
    bool IsOpen() const { return m_hKey != 0; }

protected:
    // Base path + `pszSubKey`.
    std::wstring KeyPath(const wchar_t* pszSubKey) const;

    // Opens base path + `pszSubKey` for writing, creating it when missing; the key stays
    // open for the caller's write.
    void EnsureKey(const wchar_t* pszSubKey);

    // The context of a value access: `pszLead`, root\key path, the value name.
    std::wstring ValueContext(const wchar_t* pszLead, const wchar_t* pszSubKey,
                              const wchar_t* pszValueName) const;

    std::wstring m_strBaseKey;
    HKEY m_hKeyRoot;
};
