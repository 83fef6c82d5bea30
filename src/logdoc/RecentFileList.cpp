#include "logdoc/RecentFileList.h"

#include <algorithm>

#include "platform/CaseFold.h"
#include "platform/Registry.h"
#include "platform/WinFormat.h"
#include "settings/RegKeyTalvex.h"

namespace {

constexpr const wchar_t* kCountValue = L"DocumentCount";

std::wstring ValueName(int nNumber) {
    return L"Document" + std::to_wstring(nNumber);
}

// Holds an open key for a scope.
class CKeyHolder {
public:
    ~CKeyHolder() {
        if (m_hKey != 0) {
            win::RegCloseKey(m_hKey);
        }
    }
    HKEY m_hKey = 0;
};

}  // namespace

CRecentFileList::CRecentFileList(int nMaxEntries)
    : m_nMaxEntries(std::clamp(nMaxEntries, 1, kMaxValueNumber)) {}

void CRecentFileList::Add(const std::wstring& strPath) {
    std::erase_if(m_entries,
                  [&](const std::wstring& s) { return win::CompareNoCase(s, strPath) == 0; });
    m_entries.insert(m_entries.begin(), strPath);
    if (static_cast<int>(m_entries.size()) > m_nMaxEntries) {
        m_entries.resize(static_cast<std::size_t>(m_nMaxEntries));
    }
}

void CRecentFileList::MoveToTop(int nIndex) {
    if (nIndex > 0 && nIndex < GetCount()) {
        std::rotate(m_entries.begin(), m_entries.begin() + nIndex, m_entries.begin() + nIndex + 1);
    }
}

void CRecentFileList::Remove(int nIndex) {
    if (nIndex >= 0 && nIndex < GetCount()) {
        m_entries.erase(m_entries.begin() + nIndex);
    }
}

std::wstring CRecentFileList::Get(int nIndex) const {
    return nIndex >= 0 && nIndex < GetCount() ? m_entries[static_cast<std::size_t>(nIndex)]
                                              : std::wstring();
}

std::wstring CRecentFileList::KeyPath() {
    return CRegKeyTalvex().GetKeyPath() + L"\\Recent Document List";
}

void CRecentFileList::ReadFromRegistry() {
    CKeyHolder key;
    if (win::RegOpenKeyExW(win::HKEY_CURRENT_USER, KeyPath().c_str(), 0,
                           win::KEY_READ | win::KEY_WRITE, &key.m_hKey) != 0) {
        return;
    }
    DWORD dwType = 0;
    DWORD dwCount = 0;
    DWORD cbData = sizeof dwCount;
    if (win::RegQueryValueExW(key.m_hKey, kCountValue, nullptr, &dwType,
                              reinterpret_cast<BYTE*>(&dwCount), &cbData) == 0 &&
        dwType == win::REG_DWORD && cbData == sizeof dwCount) {
        m_nMaxEntries = std::clamp(static_cast<int>(dwCount), 1, kMaxValueNumber);
    }
    m_entries.clear();
    for (int n = m_nMaxEntries; n >= 1; --n) {
        DWORD cb = 0;
        if (win::RegQueryValueExW(key.m_hKey, ValueName(n).c_str(), nullptr, &dwType, nullptr,
                                  &cb) != 0 ||
            dwType != win::REG_SZ) {
            continue;
        }
        std::wstring strPath(cb / sizeof(wchar_t), L'\0');
        if (win::RegQueryValueExW(key.m_hKey, ValueName(n).c_str(), nullptr, &dwType,
                                  reinterpret_cast<BYTE*>(strPath.data()), &cb) != 0) {
            continue;
        }
        strPath.resize(std::min(strPath.find(L'\0'), strPath.size()));
        if (!strPath.empty()) {
            Add(strPath);
        }
    }
}

void CRecentFileList::WriteToRegistry() const {
    CKeyHolder key;
    if (win::RegCreateKeyExW(win::HKEY_CURRENT_USER, KeyPath().c_str(), 0, nullptr,
                             win::REG_OPTION_NON_VOLATILE, win::KEY_READ | win::KEY_WRITE, nullptr,
                             &key.m_hKey, nullptr) != 0) {
        return;
    }
    const DWORD dwCount = static_cast<DWORD>(m_nMaxEntries);
    win::RegSetValueExW(key.m_hKey, kCountValue, 0, win::REG_DWORD,
                        reinterpret_cast<const BYTE*>(&dwCount), sizeof dwCount);
    for (int n = 1; n <= GetCount(); ++n) {
        const std::wstring& strPath = m_entries[static_cast<std::size_t>(n - 1)];
        win::RegSetValueExW(key.m_hKey, ValueName(n).c_str(), 0, win::REG_SZ,
                            reinterpret_cast<const BYTE*>(strPath.c_str()),
                            static_cast<DWORD>((strPath.size() + 1) * sizeof(wchar_t)));
    }
    for (int n = GetCount() + 1; n <= kMaxValueNumber; ++n) {
        win::RegDeleteValueW(key.m_hKey, ValueName(n).c_str());
    }
}

std::wstring CRecentFileList::DisplayPath(const std::wstring& strPath) {
    if (strPath.size() <= kMaxDisplayChars) {
        return strPath;
    }
    const std::size_t nName = strPath.rfind(L'/');
    const std::wstring strName = nName == std::wstring::npos ? strPath : strPath.substr(nName + 1);
    const std::size_t nFirst = strPath.find(L'/', 1);
    const std::wstring strHead = nFirst == std::wstring::npos || nFirst >= nName
                                     ? std::wstring()
                                     : strPath.substr(0, nFirst + 1);
    const std::wstring strDots = L"...";
    if (strHead.size() + strDots.size() + 1 + strName.size() > kMaxDisplayChars) {
        return strDots + L"/" + strName;
    }
    // Keep as much of the end of the path as fits after the head.
    const std::size_t nTail = kMaxDisplayChars - strHead.size() - strDots.size();
    return strHead + strDots + strPath.substr(strPath.size() - nTail);
}

std::wstring CRecentFileList::MenuText(int nIndex) const {
    return win::FormatW(L"&%i %s", nIndex + 1, DisplayPath(Get(nIndex)));
}
