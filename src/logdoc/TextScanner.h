// Finding one byte string in a buffer, fast enough to search gigabytes of log: candidate
// places are picked sixteen at a time by the needle's first and last byte (SSE2 where the
// processor has it), then compared in full. Without case, ASCII letters match either case;
// every other byte (so every byte of a non-ASCII character) must be the same.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CTextScanner {
public:
    static constexpr std::size_t npos = std::string_view::npos;

    // The needle must not be empty.
    CTextScanner(std::string_view needle, bool bMatchCase);

    std::size_t Length() const { return m_needle.size(); }

    // The first place at or after nFrom where the needle lies wholly inside `hay`; npos
    // when there is none.
    std::size_t Find(std::string_view hay, std::size_t nFrom) const;

    // ASCII lower case of one byte.
    static unsigned char Fold(unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
    }

private:
    bool SameAt(const char* p) const;

    std::string m_needle;  // folded when !m_bMatchCase
    bool m_bMatchCase;
    // The first and last byte in both cases (the same byte twice when it has no case).
    unsigned char m_first[2];
    unsigned char m_last[2];
};
