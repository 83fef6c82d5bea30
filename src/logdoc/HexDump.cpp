#include "logdoc/HexDump.h"

#include <algorithm>

namespace hexdump {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

void AppendLine(std::string& out, std::uint32_t nOffset, std::string_view bytes) {
    bytes = bytes.substr(0, kBytesPerLine);
    char line[kLineWidth];
    char* p = line;
    for (int nShift = 28; nShift >= 0; nShift -= 4) {
        *p++ = kDigits[(nOffset >> nShift) & 0xF];
    }
    *p++ = ' ';
    *p++ = ' ';
    for (std::size_t i = 0; i < kBytesPerLine; ++i) {
        if (i == kBytesPerLine / 2) {
            *p++ = ' ';
        }
        if (i < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[i]);
            *p++ = kDigits[c >> 4];
            *p++ = kDigits[c & 0xF];
        } else {
            *p++ = ' ';
            *p++ = ' ';
        }
        *p++ = ' ';
    }
    *p++ = ' ';
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        *p++ = c >= 0x20 && c < 0x7F ? ch : '.';
    }
    out.append(line, static_cast<std::size_t>(p - line));
}

void AppendLines(std::string& out, std::string_view bytes, std::string_view eol) {
    const std::size_t nLines = (bytes.size() + kBytesPerLine - 1) / kBytesPerLine;
    out.reserve(out.size() + nLines * (eol.size() + kLineWidth));
    for (std::size_t n = 0; n < bytes.size(); n += kBytesPerLine) {
        out += eol;
        AppendLine(out, static_cast<std::uint32_t>(n), bytes.substr(n, kBytesPerLine));
    }
}

}  // namespace hexdump
