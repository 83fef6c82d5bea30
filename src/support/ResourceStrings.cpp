#include "support/ResourceStrings.h"

#include <algorithm>
#include <array>
#include <cwchar>

namespace {

struct CStringEntry {
    UINT nId;
    const wchar_t* pszText;
};

#define TAPVANE_STRING(id, text) CStringEntry{id, text},
constexpr CStringEntry kStrings[] = {
#include "StringTable.inc"
};
#undef TAPVANE_STRING

const wchar_t* FindString(UINT nId) {
    for (const CStringEntry& e : kStrings) {
        if (e.nId == nId) {
            return e.pszText;
        }
    }
    return nullptr;
}

}  // namespace

int LoadResourceString(UINT nId, wchar_t* pszBuffer, int nBufferMax) {
    if (pszBuffer == nullptr || nBufferMax <= 0) {
        return 0;
    }
    const wchar_t* psz = FindString(nId);
    if (psz == nullptr) {
        pszBuffer[0] = L'\0';
        return 0;
    }
    const int n = static_cast<int>(std::min<std::size_t>(std::wcslen(psz), nBufferMax - 1));
    std::wmemcpy(pszBuffer, psz, n);
    pszBuffer[n] = L'\0';
    return n;
}

std::wstring LoadResourceString(UINT nId) {
    const wchar_t* psz = FindString(nId);
    return psz ? std::wstring(psz) : std::wstring();
}

bool HasResourceString(UINT nId) {
    return FindString(nId) != nullptr;
}

void FormatResourceV(std::wstring& strOut, UINT nId, std::span<const win::CFormatArg> args) {
    strOut.clear();
    win::FormatBoundedV(strOut, 0, LoadResourceString(nId), args);
}

void AfxFormatString(std::wstring& strOut, UINT nId, std::wstring_view strArg) {
    strOut.clear();
    std::array<wchar_t, 256> szFormat{};
    if (LoadResourceString(nId, szFormat.data(), static_cast<int>(szFormat.size())) == 0) {
        return;
    }
    strOut = SubstitutePlaceholders(szFormat.data(), strArg);
}

std::wstring SubstitutePlaceholders(std::wstring_view fmt, std::wstring_view strArg1) {
    std::wstring strOut;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        const wchar_t c = fmt[i];
        if (c == L'%' && i + 1 < fmt.size()) {
            const wchar_t d = fmt[i + 1];
            const bool bDigit = d >= L'1' && d <= L'9';
            const bool bLetter = d >= L'A' && d <= L'Z';
            if (bDigit || bLetter) {
                const int nArg = bDigit ? d - L'0' : d - L'A' + 10;
                if (nArg == 1) {
                    strOut.append(strArg1);
                } else {
                    strOut.push_back(L'?');
                }
                ++i;
                continue;
            }
        }
        strOut.push_back(c);
    }
    return strOut;
}
