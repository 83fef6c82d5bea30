// Small helpers for the ASCII parts of protocol text (header names, numbers, tokens):
// letters compare without regard to case, other bytes as they are.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with its ASCII letters in lower case.
inline std::string LowerAsciiText(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

// The text without the blanks and tabs around it.
inline std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal or hexadecimal number of at most 15 digits (no real length has more, and it
// cannot overflow); nothing for anything else.
inline std::optional<std::uint64_t> ParseNumber(std::string_view digits, bool bHex) {
    if (digits.empty() || digits.size() > 15) {
        return std::nullopt;
    }
    std::uint64_t n = 0;
    for (char c : digits) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (bHex && LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f') {
            v = LowerAscii(c) - 'a' + 10;
        }
        if (v < 0) {
            return std::nullopt;
        }
        n = n * (bHex ? 16 : 10) + static_cast<std::uint64_t>(v);
    }
    return n;
}
