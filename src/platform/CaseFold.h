// Case-insensitive comparison of names, the same whatever locale the program runs in.
#pragma once

#include <string>
#include <string_view>

namespace win {

// The upper-case form of `c` by the simple Unicode mapping; `c` itself when it has none.
wchar_t UpperCaseChar(wchar_t c);

// `text` with every character upper-cased.
std::wstring UpperCase(std::wstring_view text);

// Compares two texts by their upper-cased characters: negative, 0 or positive.
int CompareNoCase(std::wstring_view a, std::wstring_view b);

}  // namespace win
