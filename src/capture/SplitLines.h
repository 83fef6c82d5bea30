// Cutting a received block into lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Calls `fnLine` with every line of the block, in order; every byte belongs to exactly one
// line. A line ends at CR or LF, and a second CR or LF right after it belongs to the same
// line end ("\r\n", "\n\r", "\r\r", "\n\n"); the bytes after the last line end form the
// last line.
template <class F>
void SplitLines(const char* pBytes, std::size_t nBytes, F&& fnLine) {
    std::size_t nStart = 0;
    while (nStart < nBytes) {
        std::size_t i = nStart;
        while (i < nBytes && pBytes[i] != '\r' && pBytes[i] != '\n') {
            ++i;
        }
        if (i < nBytes) {
            ++i;  // the line end
            if (i < nBytes && (pBytes[i] == '\r' || pBytes[i] == '\n')) {
                ++i;  // its second byte
            }
        }
        fnLine(std::string_view(pBytes + nStart, i - nStart));
        nStart = i;
    }
}
