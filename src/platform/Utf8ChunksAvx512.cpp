// The chunked conversion of AnsiToUtf8Chunks for processors with AVX-512 (F and BW): the
// AVX2 path's method (see Utf8ChunksAvx2.cpp) on a whole chunk of 64 bytes at once, with
// the byte classes in mask registers instead of vector ones. The functions carry their
// own target; the caller picks this path only where the processor has it.
#include "platform/Utf8Chunks.h"
#include "platform/Utf8ChunksAvx512Parts.h"
#include "platform/Utf8ChunksPacking.h"

namespace win {

#if defined(TAPVANE_AVX512_CHUNKS)

namespace {

using namespace chunks512;
using chunks::kChunk;
using chunks::kLookAhead;
using chunks::kPacking;

// Converts the chunk `b`, of whose bytes those set in `inside` belong to valid
// sequences, to text at dst; returns the end of the text. Writes up to 12 bytes past it.
TAPVANE_AVX512 inline char* ConvertChunk(__m512i b, std::uint64_t inside,
                                         const CHighBytes512& highBytes, bool bShowZero,
                                         char* dst) {
    const auto [o0, o1, o2, changed, three] = TextsOf(b, inside, highBytes, bShowZero);

    // The key of each group of four bytes (see CGroupPacking), summed in vector lanes.
    const __m512i weights = _mm512_or_si512(
        _mm512_maskz_mov_epi8(changed, _mm512_set1_epi32(0x08040201)),
        _mm512_maskz_mov_epi8(three, _mm512_set1_epi32(static_cast<int>(0x80402010u))));
    alignas(64) std::uint32_t keys[16];
    _mm512_store_si512(
        keys, _mm512_madd_epi16(_mm512_maddubs_epi16(weights, Splat(1)), _mm512_set1_epi16(1)));

    // Each byte's text in four bytes of its own; the unpacks work within each 128-bit
    // quarter: entries[j] holds in quarter q the group 4q + j (bytes 16q + 4j to 16q + 4j + 3).
    const __m512i zero = _mm512_setzero_si512();
    const __m512i lo01 = _mm512_unpacklo_epi8(o0, o1);
    const __m512i hi01 = _mm512_unpackhi_epi8(o0, o1);
    const __m512i lo2 = _mm512_unpacklo_epi8(o2, zero);
    const __m512i hi2 = _mm512_unpackhi_epi8(o2, zero);
    const __m512i entries[4] = {_mm512_unpacklo_epi16(lo01, lo2), _mm512_unpackhi_epi16(lo01, lo2),
                                _mm512_unpacklo_epi16(hi01, hi2), _mm512_unpackhi_epi16(hi01, hi2)};
    __m512i packed[4];
    for (int j = 0; j < 4; ++j) {
        const auto pattern = [&](int q) {
            return _mm_load_si128(
                reinterpret_cast<const __m128i*>(kPacking.shuffle[keys[4 * q + j]].data()));
        };
        __m512i patterns = _mm512_castsi128_si512(pattern(0));
        patterns = _mm512_inserti32x4(patterns, pattern(1), 1);
        patterns = _mm512_inserti32x4(patterns, pattern(2), 2);
        patterns = _mm512_inserti32x4(patterns, pattern(3), 3);
        packed[j] = _mm512_shuffle_epi8(entries[j], patterns);
    }
    const auto store = [&](__m128i text, int g) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), text);
        dst += kPacking.length[keys[g]];
    };
    for (int j = 0; j < 4; ++j) {
        store(Quarter<0>(packed[j]), j);
    }
    for (int j = 0; j < 4; ++j) {
        store(Quarter<1>(packed[j]), 4 + j);
    }
    for (int j = 0; j < 4; ++j) {
        store(Quarter<2>(packed[j]), 8 + j);
    }
    for (int j = 0; j < 4; ++j) {
        store(Quarter<3>(packed[j]), 12 + j);
    }
    return dst;
}

}  // namespace

bool Avx512ChunksSupported() {
    static const bool bSupported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
               __builtin_cpu_supports("popcnt") != 0;
    }();
    return bSupported;
}

TAPVANE_AVX512 std::size_t AnsiToUtf8ChunksAvx512(const unsigned char* pBytes, std::size_t nBytes,
                                                  const ByteTextTable& table, bool bShowZero,
                                                  char* pOut, std::size_t& nWritten) {
    char* dst = pOut;
    std::size_t i = 0;
    std::uint64_t carry = 0;  // bytes of this chunk inside a sequence begun before it
    CHighBytes512 highBytes;  // filled at the first chunk that needs it
    for (; i + kChunk + kLookAhead <= nBytes; i += kChunk) {
        const __m512i b0 = Load(pBytes + i);
        std::uint64_t inside = 0;
        if (!CopyUnchanged(pBytes + i, b0, bShowZero, carry, inside, dst)) {
            // The last group's store runs up to 12 bytes past the text, within the room of
            // the look-ahead's bytes (three per byte) after the last chunk.
            dst = ConvertChunk(b0, inside, highBytes.For(table), bShowZero, dst);
        }
    }
    return FinishChunks(pBytes, i, carry, pOut, dst, nWritten);
}

namespace {

// Reports the breaks of one chunk whose text starts at nText, as the 16-byte measure does:
// a break's text offset adds one for each bit of `grow1` below it, one more for each of
// `grow2`.
__attribute__((target("popcnt"))) void ReportBreaks(std::uint64_t breaks, std::uint64_t grow1,
                                                    std::uint64_t grow2, std::size_t nRaw,
                                                    std::size_t nText, BreakFn fnBreak,
                                                    void* pContext) {
    for (; breaks != 0; breaks &= breaks - 1) {
        const int j = __builtin_ctzll(breaks);
        const std::uint64_t below = (std::uint64_t{1} << j) - 1;
        fnBreak(pContext, nRaw + static_cast<std::size_t>(j),
                nText + static_cast<std::size_t>(j + __builtin_popcountll(grow1 & below) +
                                                 __builtin_popcountll(grow2 & below)));
    }
}

}  // namespace

__attribute__((target("avx512f,avx512bw,popcnt"))) std::size_t MeasureAnsiToUtf8ChunksAvx512(
    const unsigned char* pBytes, std::size_t nBytes, const ByteTextTable& table, bool bShowZero,
    BreakFn fnBreak, void* pContext, std::size_t& nText) {
    std::size_t nLength = 0;
    std::size_t i = 0;
    std::uint64_t carry = 0;  // bytes of this chunk inside a sequence begun before it
    CHighBytes512 highBytes;
    // A shown zero byte grows by two (when the table makes it three bytes long).
    const std::uint64_t zeroThree = (table[0] >> 24) == 3 ? ~std::uint64_t{0} : 0;
    for (; i + kChunk + kLookAhead <= nBytes; i += kChunk) {
        const unsigned char* p = pBytes + i;
        const __m512i b0 = Load(p);
        const std::uint64_t breaks =
            fnBreak != nullptr
                ? _mm512_cmpeq_epi8_mask(b0, Splat('\n')) | _mm512_cmpeq_epi8_mask(b0, Splat('\r'))
                : 0;
        const std::uint64_t highBits = _mm512_movepi8_mask(b0);
        const std::uint64_t zeroBits = bShowZero ? _mm512_testn_epi8_mask(b0, b0) : 0;
        if (carry == 0 && (highBits | zeroBits) == 0) {
            // ASCII text (without zero bytes when those are shown): as long as it is.
            if (breaks != 0) {
                ReportBreaks(breaks, 0, 0, i, nLength, fnBreak, pContext);
            }
            nLength += kChunk;
            continue;
        }
        const std::uint64_t inside = Inside(p, b0, carry);
        // Each byte the conversion changes grows by at least one byte; a shown zero byte
        // and the bytes 0x80-0x9F whose text is three bytes long by one more.
        const std::uint64_t grow1 = (highBits | zeroBits) & ~inside;
        const std::uint64_t c1 = grow1 & highBits & ~_mm512_cmpge_epu8_mask(b0, Splat(0xA0));
        std::uint64_t grow2 = zeroBits & zeroThree;
        if (c1 != 0) {
            const __m512i third = highBytes.For(table).Get(2, _mm512_sub_epi8(b0, Splat(0x10)));
            grow2 |= c1 & _mm512_test_epi8_mask(third, third);
        }
        if (breaks != 0) {
            ReportBreaks(breaks, grow1, grow2, i, nLength, fnBreak, pContext);
        }
        nLength += kChunk + static_cast<std::size_t>(__builtin_popcountll(grow1) +
                                                     __builtin_popcountll(grow2));
    }
    // A sequence that runs on from the last chunk: its bytes stay as they are.
    for (; carry != 0; carry >>= 1, ++i) {
        ++nLength;
    }
    nText = nLength;
    return i;
}

#else

bool Avx512ChunksSupported() {
    return false;
}

std::size_t AnsiToUtf8ChunksAvx512(const unsigned char*, std::size_t, const ByteTextTable&, bool,
                                   char*, std::size_t& nWritten) {
    nWritten = 0;
    return 0;
}

std::size_t MeasureAnsiToUtf8ChunksAvx512(const unsigned char*, std::size_t, const ByteTextTable&,
                                          bool, BreakFn, void*, std::size_t& nText) {
    nText = 0;
    return 0;
}

#endif

}  // namespace win
