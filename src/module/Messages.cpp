#include "module/Messages.h"

#include <cwctype>
#include <map>
#include <mutex>

UINT RegisterWindowMessageW(const wchar_t* pszName) {
    static std::mutex s_mutex;
    static std::map<std::wstring, UINT> s_ids;  // guarded by s_mutex
    std::wstring strKey(pszName ? pszName : L"");
    for (wchar_t& c : strKey) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    std::lock_guard lock(s_mutex);
    auto [it, bNew] = s_ids.emplace(strKey, static_cast<UINT>(0xC000 + s_ids.size()));
    return it->second;
}
