// Finding the line break bytes (CR and LF) of a text fast: every appended and every loaded
// byte of the log passes here. Binary data holds a break byte every hundred bytes or so,
// and text one every few dozen, so a memchr per break pays its call more often than it
// saves; these look at 16 bytes (SSE2) or 8 bytes (any machine) at a time and give every
// break byte of the group from one bit mask.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace breaks {

// A word whose bytes each have the top bit set exactly where `word` holds the byte that
// `pattern` repeats (no false hits from borrows, unlike the usual has-zero test).
inline std::uint64_t MatchBytes(std::uint64_t word, std::uint64_t pattern) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t v = word ^ pattern;
    return ~(((v & kLow7) + kLow7) | v) & ~kLow7;
}

// Calls fn(offset) for every CR or LF byte of `text`, in order, eight bytes at a time.
template <class F>
void ForEachBreakByWords(std::string_view text, F&& fn) {
    const std::size_t n = text.size();
    const char* const p = text.data();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if constexpr (std::endian::native == std::endian::big) {
            word = __builtin_bswap64(word);  // the first byte in the lowest bits
        }
        std::uint64_t mask =
            MatchBytes(word, 0x0A0A0A0A0A0A0A0Aull) | MatchBytes(word, 0x0D0D0D0D0D0D0D0Dull);
        while (mask != 0) {
            fn(i + static_cast<std::size_t>(std::countr_zero(mask)) / 8);
            mask &= mask - 1;
        }
    }
    for (; i < n; ++i) {
        if (p[i] == '\n' || p[i] == '\r') {
            fn(i);
        }
    }
}

// The same, sixteen bytes at a time where the processor has SSE2 (every x86-64).
template <class F>
void ForEachBreak(std::string_view text, F&& fn) {
#if defined(__SSE2__)
    const std::size_t n = text.size();
    const char* const p = text.data();
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr))));
        while (mask != 0) {
            fn(i + static_cast<std::size_t>(std::countr_zero(mask)));
            mask &= mask - 1;
        }
    }
    ForEachBreakByWords(text.substr(i), [&](std::size_t k) { fn(i + k); });
#else
    ForEachBreakByWords(text, fn);
#endif
}

}  // namespace breaks
