// Rewriting the line breaks of a text (LF, CR, CR LF) as one chosen break, in pieces.
#pragma once

#include <string>
#include <string_view>

#include "logdoc/BreakScanner.h"

// Appends `in` to `out` with every break written as `eol`. `bAfterCr` carries a CR at the
// end of one piece over to the next, where an LF that follows it belongs to the same break.
inline void AppendWithBreaks(std::string_view in, std::string_view eol, bool& bAfterCr,
                             std::string& out) {
    std::size_t nCopied = 0;
    breaks::ForEachBreak(in, [&](std::size_t i) {
        if (i > nCopied) {
            out.append(in.data() + nCopied, i - nCopied);
            bAfterCr = false;  // text came between the CR and this break
        }
        nCopied = i + 1;
        if (in[i] == '\n' && bAfterCr) {
            bAfterCr = false;  // the LF of a CR LF
            return;
        }
        out.append(eol);
        bAfterCr = in[i] == '\r';
    });
    if (nCopied < in.size()) {
        out.append(in.data() + nCopied, in.size() - nCopied);
        bAfterCr = false;
    }
}
