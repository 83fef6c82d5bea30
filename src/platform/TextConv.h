// Conversion between bytes on the wire / in files and the program's wide text.
//
// The "ANSI code page" of this platform is UTF-8, with one rule that keeps every byte
// visible: a byte that is not part of a valid UTF-8 sequence becomes the Windows-1252
// character of the same value (so binary data shows as it would on Windows, and UTF-8
// text shows right). Converting wide text back gives UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace win {

std::wstring AnsiToWide(std::string_view bytes);
std::string WideToAnsi(std::wstring_view text);

// UTF-16 code units of a wide text (wchar_t is 32-bit here); characters above U+FFFF
// become surrogate pairs. Used where a text is written as UTF-16LE.
std::u16string WideToUtf16(std::wstring_view text);
std::wstring Utf16ToWide(std::u16string_view text);

}  // namespace win
