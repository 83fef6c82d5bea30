// Columns of a line of UTF-8 text as the log view shows it in a fixed-width font: every
// character takes one column, a tab reaches to the next multiple of eight. A byte that is
// not valid UTF-8 counts as one character of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace textcol {

constexpr std::uint64_t kTabWidth = 8;

// The length in bytes of the character at `nByte` (1 to 4), and its code point.
std::size_t DecodeAt(std::string_view line, std::size_t nByte, char32_t& cp);

// The start of the character after / before the one at `nByte` (clamped to the line).
std::size_t NextChar(std::string_view line, std::size_t nByte);
std::size_t PrevChar(std::string_view line, std::size_t nByte);

// The column where the character at `nByte` starts (the end column for the line's end).
std::uint64_t ColumnAt(std::string_view line, std::size_t nByte);
// The columns of the whole line.
inline std::uint64_t ColumnCount(std::string_view line) {
    return ColumnAt(line, line.size());
}

// The byte of the character boundary nearest to `nColumn` (a click between two columns
// goes to the nearer boundary); the line's end past its last column.
std::size_t ByteAtColumn(std::string_view line, std::uint64_t nColumn);

// The character shown for `cp`: C0 controls (but the tab) and DEL as their control
// pictures, so that every byte of the traffic stays visible.
char32_t DisplayChar(char32_t cp);

// Whether the character belongs to a word (double-click selection).
bool IsWordChar(char32_t cp);

}  // namespace textcol
