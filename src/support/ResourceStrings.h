// Numbered texts of the string table (res/StringTable.inc) and their formatting.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinFormat.h"
#include "platform/WinTypes.h"

// Copies string `nId` into `pszBuffer` (at most nBufferMax - 1 units and a terminator);
// returns the number of units copied, 0 when the string does not exist.
int LoadResourceString(UINT nId, wchar_t* pszBuffer, int nBufferMax);

// The whole string `nId`, or an empty text when it does not exist.
std::wstring LoadResourceString(UINT nId);

// Whether the string table holds `nId`.
bool HasResourceString(UINT nId);

// Loads string `nId` and formats it with the printf rules into `strOut`; a missing string
// gives an empty result.
void FormatResourceV(std::wstring& strOut, UINT nId, std::span<const win::CFormatArg> args);

template <class... A>
void FormatResource(std::wstring& strOut, UINT nId, const A&... args) {
    const win::CFormatArg a[] = {win::CFormatArg(args)..., win::CFormatArg(0)};
    FormatResourceV(strOut, nId, std::span<const win::CFormatArg>(a, sizeof...(A)));
}

// The positional form used for file error texts: "%1" is replaced by `pszArg`, every other
// placeholder "%2".."%9", "%A".."%Z" by "?"; the string is read into a 256-unit buffer. A
// missing string leaves `strOut` empty.
void AfxFormatString(std::wstring& strOut, UINT nId, std::wstring_view strArg);

// The substitution of AfxFormatString on a given format text: "%1" becomes `strArg1`, every
// other placeholder "%2".."%9", "%A".."%Z" becomes "?", and everything else is copied.
std::wstring SubstitutePlaceholders(std::wstring_view fmt, std::wstring_view strArg1);
