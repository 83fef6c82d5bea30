#include "logdoc/TextColumns.h"

#include <cwctype>

namespace textcol {

std::size_t DecodeAt(std::string_view line, std::size_t nByte, char32_t& cp) {
    const auto* p = reinterpret_cast<const unsigned char*>(line.data()) + nByte;
    const std::size_t nLeft = line.size() - nByte;
    const unsigned char b = p[0];
    std::size_t nLength = b < 0x80                 ? 1
                          : b >= 0xF0 && b <= 0xF4 ? 4
                          : b >= 0xE0              ? 3
                          : b >= 0xC2              ? 2
                                                   : 0;
    if (nLength == 0 || nLength > nLeft) {
        cp = b;
        return 1;
    }
    cp = nLength == 1 ? b : nLength == 2 ? b & 0x1F : nLength == 3 ? b & 0x0F : b & 0x07;
    for (std::size_t k = 1; k < nLength; ++k) {
        if ((p[k] & 0xC0) != 0x80) {
            cp = b;
            return 1;
        }
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    return nLength;
}

std::size_t NextChar(std::string_view line, std::size_t nByte) {
    if (nByte >= line.size()) {
        return line.size();
    }
    char32_t cp;
    return nByte + DecodeAt(line, nByte, cp);
}

std::size_t PrevChar(std::string_view line, std::size_t nByte) {
    if (nByte == 0) {
        return 0;
    }
    // Back over at most three continuation bytes to the lead byte; when the character
    // from there ends at nByte it is the one before, else the byte before stands alone.
    std::size_t nStart = nByte - 1;
    while (nStart > 0 && nByte - nStart < 4 &&
           (static_cast<unsigned char>(line[nStart]) & 0xC0) == 0x80) {
        --nStart;
    }
    char32_t cp;
    return nStart + DecodeAt(line, nStart, cp) == nByte ? nStart : nByte - 1;
}

std::uint64_t ColumnAt(std::string_view line, std::size_t nByte) {
    std::uint64_t nColumn = 0;
    std::size_t i = 0;
    while (i < nByte && i < line.size()) {
        const unsigned char b = static_cast<unsigned char>(line[i]);
        if (b == '\t') {
            nColumn = (nColumn / kTabWidth + 1) * kTabWidth;
            ++i;
        } else if (b < 0x80) {
            ++nColumn;
            ++i;
        } else {
            char32_t cp;
            i += DecodeAt(line, i, cp);
            ++nColumn;
        }
    }
    return nColumn;
}

std::size_t ByteAtColumn(std::string_view line, std::uint64_t nColumn) {
    std::uint64_t nAt = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        char32_t cp;
        const std::size_t nLength = DecodeAt(line, i, cp);
        const std::uint64_t nNext = cp == '\t' ? (nAt / kTabWidth + 1) * kTabWidth : nAt + 1;
        if (nColumn < nNext) {
            // Nearer to this character's start or to its end?
            return 2 * (nColumn - nAt) < nNext - nAt ? i : i + nLength;
        }
        nAt = nNext;
        i += nLength;
    }
    return line.size();
}

char32_t DisplayChar(char32_t cp) {
    if (cp < 0x20 && cp != '\t') {
        return 0x2400 + cp;
    }
    return cp == 0x7F ? 0x2421 : cp;
}

bool IsWordChar(char32_t cp) {
    if (cp < 0x80) {
        return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') ||
               cp == '_';
    }
    return std::iswalnum(static_cast<wint_t>(cp)) != 0 ||
           (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7);
}

}  // namespace textcol
