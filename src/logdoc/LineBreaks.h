// Rewriting the line breaks of a text (LF, CR, CR LF) as one chosen break, in pieces.
#pragma once

#include <string>
#include <string_view>

// Appends `in` to `out` with every break written as `eol`. `bAfterCr` carries a CR at the
// end of one piece over to the next, where an LF that follows it belongs to the same break.
inline void AppendWithBreaks(std::string_view in, std::string_view eol, bool& bAfterCr,
                             std::string& out) {
    std::size_t nCopied = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c != '\r' && c != '\n') {
            continue;
        }
        if (i > nCopied) {
            out.append(in.data() + nCopied, i - nCopied);
            bAfterCr = false;  // text came between the CR and this break
        }
        nCopied = i + 1;
        if (c == '\n' && bAfterCr) {
            bAfterCr = false;  // the LF of a CR LF
            continue;
        }
        out.append(eol);
        bAfterCr = c == '\r';
    }
    if (nCopied < in.size()) {
        out.append(in.data() + nCopied, in.size() - nCopied);
        bAfterCr = false;
    }
}
