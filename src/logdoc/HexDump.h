// The hex dump of a block's bytes as the log shows it in View > Hex Dump: lines of 16
// bytes, each the offset in the block (eight hex digits), the bytes in hex with a gap
// after the eighth, and the bytes as characters (printable ASCII as it is, every other
// byte as '.'):
//
//   00000000  47 45 54 20 2f 20 48 54  54 50 2f 31 2e 31 0d 0a  GET / HTTP/1.1..
//
// A short last line keeps the characters in their column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hexdump {

constexpr std::size_t kBytesPerLine = 16;
// The characters of a full line, without its break.
constexpr std::size_t kLineWidth = 8 + 2 + kBytesPerLine * 3 + 1 + 1 + kBytesPerLine;

// Appends the line of up to kBytesPerLine bytes that starts at nOffset of the block,
// without a break.
void AppendLine(std::string& out, std::uint32_t nOffset, std::string_view bytes);

// Appends every line of the block, each begun with `eol` (so that the dump follows a
// marker line); nothing for an empty block.
void AppendLines(std::string& out, std::string_view bytes, std::string_view eol = "\r\n");

}  // namespace hexdump
