#include "logdoc/TextScanner.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

unsigned char Upper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

}  // namespace

CTextScanner::CTextScanner(std::string_view needle, bool bMatchCase)
    : m_needle(needle), m_bMatchCase(bMatchCase) {
    if (!m_bMatchCase) {
        for (char& c : m_needle) {
            c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
        }
    }
    const auto first = static_cast<unsigned char>(m_needle.front());
    const auto last = static_cast<unsigned char>(m_needle.back());
    m_first[0] = m_first[1] = first;
    m_last[0] = m_last[1] = last;
    if (!m_bMatchCase) {
        m_first[1] = Upper(first);
        m_last[1] = Upper(last);
    }
}

bool CTextScanner::SameAt(const char* p) const {
    const std::size_t n = m_needle.size();
    if (m_bMatchCase) {
        return std::memcmp(p, m_needle.data(), n) == 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (Fold(static_cast<unsigned char>(p[i])) != static_cast<unsigned char>(m_needle[i])) {
            return false;
        }
    }
    return true;
}

std::size_t CTextScanner::Find(std::string_view hay, std::size_t nFrom) const {
    const std::size_t n = m_needle.size();
    if (hay.size() < n || nFrom > hay.size() - n) {
        return npos;
    }
    const std::size_t nLastStart = hay.size() - n;  // the last place the needle fits
    const char* p = hay.data();
    std::size_t i = nFrom;
#if defined(__SSE2__)
    const __m128i first0 = _mm_set1_epi8(static_cast<char>(m_first[0]));
    const __m128i first1 = _mm_set1_epi8(static_cast<char>(m_first[1]));
    const __m128i last0 = _mm_set1_epi8(static_cast<char>(m_last[0]));
    const __m128i last1 = _mm_set1_epi8(static_cast<char>(m_last[1]));
    // Sixteen starts at a time while both loads stay inside the hay.
    while (i + 16 <= nLastStart + 1) {
        const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + n - 1));
        const __m128i headHit =
            _mm_or_si128(_mm_cmpeq_epi8(head, first0), _mm_cmpeq_epi8(head, first1));
        const __m128i tailHit =
            _mm_or_si128(_mm_cmpeq_epi8(tail, last0), _mm_cmpeq_epi8(tail, last1));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(headHit, tailHit)));
        while (mask != 0) {
            const auto nBit = static_cast<std::size_t>(__builtin_ctz(mask));
            if (SameAt(p + i + nBit)) {
                return i + nBit;
            }
            mask &= mask - 1;
        }
        i += 16;
    }
#endif
    for (; i <= nLastStart; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if ((c == m_first[0] || c == m_first[1]) && SameAt(p + i)) {
            return i;
        }
    }
    return npos;
}
