#include "platform/Utf8Chunks.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace win {

#if defined(__SSE2__)

namespace {

constexpr std::size_t kChunk = 64;
// A sequence starting on the chunk's last byte is checked against the three after it.
constexpr std::size_t kLookAhead = 3;

__m128i Load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__m128i Splat(unsigned char b) {
    return _mm_set1_epi8(static_cast<char>(b));
}

// Bytes from lo to hi (unsigned): all ones, else zero.
__m128i InRange(__m128i v, unsigned char lo, unsigned char hi) {
    const __m128i d = _mm_sub_epi8(v, Splat(lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(d, Splat(static_cast<unsigned char>(hi - lo))), d);
}

// Continuation bytes 0x80-0xBF: as signed bytes, those below -64.
__m128i IsContinuation(__m128i v) {
    return _mm_cmplt_epi8(v, _mm_set1_epi8(-64));
}

std::uint64_t Mask(__m128i v, int nPart) {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(v)))
           << (16 * nPart);
}

// Where valid sequences of two, three and four bytes start among the 16 bytes at p (which
// may look three bytes further). The second byte's range excludes overlong forms,
// surrogates and values above U+10FFFF, as the byte-by-byte conversion does.
struct CStarts {
    std::uint64_t s2 = 0;
    std::uint64_t s3 = 0;
    std::uint64_t s4 = 0;
    std::uint64_t high = 0;  // bytes with the top bit set
    std::uint64_t zero = 0;  // zero bytes

    void Add(const unsigned char* p, int nPart) {
        const __m128i b0 = Load(p);
        const __m128i b1 = Load(p + 1);
        const __m128i c1 = IsContinuation(b1);
        const __m128i c2 = IsContinuation(Load(p + 2));
        const __m128i c3 = IsContinuation(Load(p + 3));
        const __m128i v2 = _mm_and_si128(InRange(b0, 0xC2, 0xDF), c1);
        // E0 needs A0-BF after it, ED 80-9F (no surrogates), E1-EC and EE-EF 80-BF.
        const __m128i low9F = InRange(b1, 0x80, 0x9F);
        const __m128i bad3 = _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(b0, Splat(0xE0)), low9F),
                                          _mm_andnot_si128(low9F, _mm_cmpeq_epi8(b0, Splat(0xED))));
        const __m128i v3 =
            _mm_andnot_si128(bad3, _mm_and_si128(InRange(b0, 0xE0, 0xEF), _mm_and_si128(c1, c2)));
        // F0 needs 90-BF after it, F4 80-8F (nothing above U+10FFFF), F1-F3 80-BF.
        const __m128i low8F = InRange(b1, 0x80, 0x8F);
        const __m128i bad4 = _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(b0, Splat(0xF0)), low8F),
                                          _mm_andnot_si128(low8F, _mm_cmpeq_epi8(b0, Splat(0xF4))));
        const __m128i v4 = _mm_andnot_si128(
            bad4, _mm_and_si128(InRange(b0, 0xF0, 0xF4), _mm_and_si128(c1, _mm_and_si128(c2, c3))));
        s2 |= Mask(v2, nPart);
        s3 |= Mask(v3, nPart);
        s4 |= Mask(v4, nPart);
        high |= Mask(b0, nPart);
        zero |= Mask(_mm_cmpeq_epi8(b0, _mm_setzero_si128()), nPart);
    }
};

// The table index of each of the 16 bytes at p: the byte, plus 256 where its bit in
// `inside` (the 16 bits of these bytes) is set.
void TableIndexes(const unsigned char* p, std::uint64_t inside, std::uint16_t* pIndex) {
    const std::uint64_t kSpread = 0x0101010101010101ull;
    const __m128i bits = _mm_set_epi64x(static_cast<long long>(((inside >> 8) & 0xFF) * kSpread),
                                        static_cast<long long>((inside & 0xFF) * kSpread));
    const __m128i select = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    const __m128i one =
        _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(bits, select), select), _mm_set1_epi8(1));
    const __m128i b = Load(p);
    _mm_store_si128(reinterpret_cast<__m128i*>(pIndex), _mm_unpacklo_epi8(b, one));
    _mm_store_si128(reinterpret_cast<__m128i*>(pIndex + 8), _mm_unpackhi_epi8(b, one));
}

// Whether the kChunk bytes at `p` are ASCII that stays as it is: no byte above 0x7F, and
// no zero byte when zero bytes are shown as a symbol.
inline bool IsPlainAsciiChunk(const unsigned char* p, bool bShowZero) {
    __m128i any = _mm_setzero_si128();
    __m128i zero = _mm_setzero_si128();
    for (int nPart = 0; nPart < 4; ++nPart) {
        const __m128i b = Load(p + 16 * nPart);
        any = _mm_or_si128(any, b);
        zero = _mm_or_si128(zero, _mm_cmpeq_epi8(b, _mm_setzero_si128()));
    }
    return _mm_movemask_epi8(bShowZero ? _mm_or_si128(any, zero) : any) == 0;
}

}  // namespace

std::size_t AnsiToUtf8ChunksSse2(const unsigned char* pBytes, std::size_t nBytes,
                                 const ByteTextTable& table, bool bShowZero, char* pOut,
                                 std::size_t& nWritten) {
    char* dst = pOut;
    std::size_t i = 0;
    std::uint64_t carry = 0;  // bytes of this chunk inside a sequence begun before it
    for (; i + kChunk + kLookAhead <= nBytes; i += kChunk) {
        const unsigned char* p = pBytes + i;
        if (carry == 0) {
            // ASCII text (without zero bytes when those are shown): the chunk as it is.
            if (IsPlainAsciiChunk(p, bShowZero)) {
                std::memcpy(dst, p, kChunk);
                dst += kChunk;
                continue;
            }
        }
        CStarts starts;
        for (int nPart = 0; nPart < 4; ++nPart) {
            starts.Add(p + 16 * nPart, nPart);
        }
        const std::uint64_t s2 = starts.s2;
        const std::uint64_t s3 = starts.s3;
        const std::uint64_t s4 = starts.s4;
        const std::uint64_t inside = carry | s2 | s3 | s4 | (s2 << 1) | (s3 << 1) | (s3 << 2) |
                                     (s4 << 1) | (s4 << 2) | (s4 << 3);
        carry = (s2 >> 63) | (s3 >> 63) | (s3 >> 62) | (s4 >> 63) | (s4 >> 62) | (s4 >> 61);
        const std::uint64_t changed = (starts.high | (bShowZero ? starts.zero : 0)) & ~inside;
        if (changed == 0) {
            // ASCII text, valid UTF-8 text: the chunk as it is.
            std::memcpy(dst, p, kChunk);
            dst += kChunk;
            continue;
        }
        // Every byte through the table: four bytes stored, the text's length counted. The
        // store may run one byte past the text, which the next one overwrites; the room
        // for three bytes per byte of the whole input covers the last.
        alignas(16) std::uint16_t index[kChunk];
        for (int nPart = 0; nPart < 4; ++nPart) {
            TableIndexes(p + 16 * nPart, inside >> (16 * nPart), index + 16 * nPart);
        }
        // Unrolled by hand: the loop's own count and jump would cost as much as the work.
        for (std::size_t k = 0; k < kChunk; k += 4) {
            for (std::size_t q = k; q < k + 4; ++q) {
                const std::uint32_t e = table[index[q]];
                std::memcpy(dst, &e, sizeof e);
                dst += e >> 24;
            }
        }
    }
    // A sequence that runs on from the last chunk: its bytes stay as they are.
    for (; carry != 0; carry >>= 1, ++i) {
        *dst++ = static_cast<char>(pBytes[i]);
    }
    nWritten = static_cast<std::size_t>(dst - pOut);
    return i;
}

namespace {

// The bits set in x. Without the processor's own instruction (not in the baseline x86-64
// this is built for) std::popcount is a library call, which cost more than the rest of a
// chunk's measure.
inline int Popcount(std::uint64_t x) {
#if defined(__POPCNT__)
    return std::popcount(x);
#else
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((x * 0x0101010101010101ull) >> 56);
#endif
}

// The CR and LF bytes of the 16 bytes at p, as bits.
std::uint64_t BreakMask(const unsigned char* p, int nPart) {
    const __m128i b = Load(p);
    return Mask(_mm_or_si128(_mm_cmpeq_epi8(b, Splat('\n')), _mm_cmpeq_epi8(b, Splat('\r'))),
                nPart);
}

// Reports the breaks of one chunk whose text starts at nText; a break's text offset adds
// what the bytes before it grow by: one for each bit of `grow1` below it, one more for each
// of `grow2`.
void ReportBreaks(std::uint64_t breaks, std::uint64_t grow1, std::uint64_t grow2, std::size_t nRaw,
                  std::size_t nText, BreakFn fnBreak, void* pContext) {
    for (; breaks != 0; breaks &= breaks - 1) {
        const int j = std::countr_zero(breaks);
        const std::uint64_t below = (std::uint64_t{1} << j) - 1;
        fnBreak(pContext, nRaw + static_cast<std::size_t>(j),
                nText + static_cast<std::size_t>(j + Popcount(grow1 & below) +
                                                 Popcount(grow2 & below)));
    }
}

}  // namespace

std::size_t MeasureAnsiToUtf8ChunksSse2(const unsigned char* pBytes, std::size_t nBytes,
                                        const ByteTextTable& table, bool bShowZero, BreakFn fnBreak,
                                        void* pContext, std::size_t& nText) {
    std::size_t nLength = 0;
    std::size_t i = 0;
    std::uint64_t carry = 0;  // bytes of this chunk inside a sequence begun before it
    for (; i + kChunk + kLookAhead <= nBytes; i += kChunk) {
        const unsigned char* p = pBytes + i;
        std::uint64_t breaks = 0;
        if (fnBreak != nullptr) {
            for (int nPart = 0; nPart < 4; ++nPart) {
                breaks |= BreakMask(p + 16 * nPart, nPart);
            }
        }
        if (carry == 0) {
            // ASCII text (without zero bytes when those are shown): as long as it is.
            if (IsPlainAsciiChunk(p, bShowZero)) {
                if (breaks != 0) {
                    ReportBreaks(breaks, 0, 0, i, nLength, fnBreak, pContext);
                }
                nLength += kChunk;
                continue;
            }
        }
        CStarts starts;
        std::uint64_t c1Bytes = 0;  // bytes 0x80-0x9F
        for (int nPart = 0; nPart < 4; ++nPart) {
            starts.Add(p + 16 * nPart, nPart);
            c1Bytes |= Mask(InRange(Load(p + 16 * nPart), 0x80, 0x9F), nPart);
        }
        const std::uint64_t s2 = starts.s2;
        const std::uint64_t s3 = starts.s3;
        const std::uint64_t s4 = starts.s4;
        const std::uint64_t inside = carry | s2 | s3 | s4 | (s2 << 1) | (s3 << 1) | (s3 << 2) |
                                     (s4 << 1) | (s4 << 2) | (s4 << 3);
        carry = (s2 >> 63) | (s3 >> 63) | (s3 >> 62) | (s4 >> 63) | (s4 >> 62) | (s4 >> 61);
        const std::uint64_t zero = bShowZero ? starts.zero : 0;
        // Each byte the conversion changes grows by at least one byte; a shown zero byte
        // and the bytes 0x80-0x9F whose character lies above U+07FF by one more (the
        // bytes 0xA0-0xFF become two bytes each, which the caller makes sure of).
        const std::uint64_t grow1 = (starts.high | zero) & ~inside;
        std::uint64_t grow2 = zero & ((table[0] >> 24) == 3 ? ~std::uint64_t{0} : 0);
        for (std::uint64_t c1 = grow1 & c1Bytes; c1 != 0; c1 &= c1 - 1) {
            // Without a branch: whether a byte's text is three bytes long is a coin toss.
            const int j = std::countr_zero(c1);
            grow2 |= static_cast<std::uint64_t>((table[p[j]] >> 24) == 3) << j;
        }
        if (breaks != 0) {
            ReportBreaks(breaks, grow1, grow2, i, nLength, fnBreak, pContext);
        }
        nLength += kChunk + static_cast<std::size_t>(Popcount(grow1) + Popcount(grow2));
    }
    // A sequence that runs on from the last chunk: its bytes stay as they are.
    for (; carry != 0; carry >>= 1, ++i) {
        ++nLength;
    }
    nText = nLength;
    return i;
}

#else

std::size_t MeasureAnsiToUtf8ChunksSse2(const unsigned char*, std::size_t, const ByteTextTable&,
                                        bool, BreakFn, void*, std::size_t& nText) {
    nText = 0;
    return 0;
}

std::size_t AnsiToUtf8ChunksSse2(const unsigned char*, std::size_t, const ByteTextTable&, bool,
                                 char*, std::size_t& nWritten) {
    nWritten = 0;
    return 0;
}

#endif

namespace {

using ChunksFn = std::size_t (*)(const unsigned char*, std::size_t, const ByteTextTable&, bool,
                                 char*, std::size_t&);

}  // namespace

std::size_t AnsiToUtf8Chunks(const unsigned char* pBytes, std::size_t nBytes,
                             const ByteTextTable& table, bool bShowZero, char* pOut,
                             std::size_t& nWritten) {
    static const ChunksFn fn = Avx512CompressChunksSupported() ? &AnsiToUtf8ChunksAvx512Compress
                               : Avx512ChunksSupported()       ? &AnsiToUtf8ChunksAvx512
                               : Avx2ChunksSupported() ? &AnsiToUtf8ChunksAvx2
                                                       : &AnsiToUtf8ChunksSse2;
    return fn(pBytes, nBytes, table, bShowZero, pOut, nWritten);
}

std::size_t MeasureAnsiToUtf8Chunks(const unsigned char* pBytes, std::size_t nBytes,
                                    const ByteTextTable& table, bool bShowZero, BreakFn fnBreak,
                                    void* pContext, std::size_t& nText) {
    static const bool bAvx512 = Avx512ChunksSupported();
    return bAvx512 ? MeasureAnsiToUtf8ChunksAvx512(pBytes, nBytes, table, bShowZero, fnBreak,
                                                   pContext, nText)
                   : MeasureAnsiToUtf8ChunksSse2(pBytes, nBytes, table, bShowZero, fnBreak,
                                                 pContext, nText);
}

}  // namespace win
