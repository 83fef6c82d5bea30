// Conversion between bytes on the wire / in files and the program's wide text.
//
// The "ANSI code page" of this platform is UTF-8, with one rule that keeps every byte
// visible: a byte that is not part of a valid UTF-8 sequence becomes the Windows-1252
// character of the same value (so binary data shows as it would on Windows, and UTF-8
// text shows right). Converting wide text back gives UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace win {

std::wstring AnsiToWide(std::string_view bytes);
std::string WideToAnsi(std::wstring_view text);

// AnsiToWide followed by WideToAnsi in one pass, appended to `out`: valid UTF-8 is copied,
// every other byte becomes the UTF-8 form of its Windows-1252 character. With bShowZero a
// zero byte becomes the symbol U+2400, so that it stays visible in a text. The log of every
// relayed block goes through here.
void AppendAnsiAsUtf8(std::string_view bytes, std::string& out, bool bShowZero);
// The same into a buffer of at least 3 * bytes.size() bytes; returns the bytes written.
std::size_t AnsiToUtf8(std::string_view bytes, char* pOut, bool bShowZero);

// The text AnsiToUtf8 makes of `bytes`, measured without making it: returns its length and
// calls fnBreak(pContext, offset in bytes, offset in the text) for every CR and LF byte,
// in order (null: none). These are exactly the text's line break bytes: each becomes
// itself, and no other byte becomes a CR or an LF. A log that keeps a block's bytes counts
// its lines and its text's length with this, from the same rules the conversion follows.
using TextBreakFn = void (*)(void* pContext, std::size_t nRaw, std::size_t nText);
std::size_t MeasureAnsiAsUtf8(std::string_view bytes, bool bShowZero, TextBreakFn fnBreak,
                              void* pContext);
// The same with a callable fn(nRaw, nText).
template <class F>
std::size_t MeasureAnsiAsUtf8(std::string_view bytes, bool bShowZero, F& fn) {
    return MeasureAnsiAsUtf8(
        bytes, bShowZero,
        [](void* p, std::size_t nRaw, std::size_t nText) { (*static_cast<F*>(p))(nRaw, nText); },
        &fn);
}
// The length alone.
inline std::size_t AnsiToUtf8Length(std::string_view bytes, bool bShowZero) {
    return MeasureAnsiAsUtf8(bytes, bShowZero, nullptr, nullptr);
}

// UTF-16 code units of a wide text (wchar_t is 32-bit here); characters above U+FFFF
// become surrogate pairs. Used where a text is written as UTF-16LE.
// The text of a block as the traffic log shows it: every byte, converted from the ANSI code
// page, with a zero byte shown as the symbol U+2400 so that it does not cut the text.
std::wstring BlockText(std::string_view bytes);

std::u16string WideToUtf16(std::wstring_view text);
std::wstring Utf16ToWide(std::u16string_view text);

}  // namespace win
