// Rewriting the line breaks of a text (LF, CR, CR LF) as one chosen break, in pieces.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "logdoc/BreakScanner.h"

// Appends `in` to `out` with every break written as `eol`. `bAfterCr` carries a CR at the
// end of one piece over to the next, where an LF that follows it belongs to the same break.
// A save passes every byte of the log through here, with a break every few dozen bytes:
// the room for the worst case is made once and written through a pointer.
inline void AppendWithBreaks(std::string_view in, std::string_view eol, bool& bAfterCr,
                             std::string& out) {
    const std::size_t nStart = out.size();
    out.resize(nStart + in.size() * std::max<std::size_t>(eol.size(), 1));
    char* const pBegin = out.data();
    char* pOut = pBegin + nStart;
    const char* const pIn = in.data();
    const auto copy = [&pOut](const char* p, std::size_t n) {
        std::memcpy(pOut, p, n);
        pOut += n;
    };
    std::size_t nCopied = 0;
    breaks::ForEachBreak(in, [&](std::size_t i) {
        if (i > nCopied) {
            copy(pIn + nCopied, i - nCopied);
            bAfterCr = false;  // text came between the CR and this break
        }
        nCopied = i + 1;
        if (pIn[i] == '\n' && bAfterCr) {
            bAfterCr = false;  // the LF of a CR LF
            return;
        }
        copy(eol.data(), eol.size());
        bAfterCr = pIn[i] == '\r';
    });
    if (nCopied < in.size()) {
        copy(pIn + nCopied, in.size() - nCopied);
        bAfterCr = false;
    }
    out.resize(static_cast<std::size_t>(pOut - pBegin));
}
