// The chunked conversion of AnsiToUtf8Chunks for processors with AVX-512 (F and BW): the
// AVX2 path's method (see Utf8ChunksAvx2.cpp) on a whole chunk of 64 bytes at once, with
// the byte classes in mask registers instead of vector ones. The functions carry their
// own target; the caller picks this path only where the processor has it.
#include "platform/Utf8Chunks.h"
#include "platform/Utf8ChunksPacking.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define TAPVANE_AVX512_CHUNKS 1
#include <immintrin.h>
#endif

namespace win {

#if defined(TAPVANE_AVX512_CHUNKS)

namespace {

#define TAPVANE_AVX512 __attribute__((target("avx512f,avx512bw")))

using chunks::kChunk;
using chunks::kLookAhead;
using chunks::kPacking;

TAPVANE_AVX512 inline __m512i Load(const unsigned char* p) {
    return _mm512_loadu_si512(p);
}

TAPVANE_AVX512 inline __m512i Splat(unsigned char b) {
    return _mm512_set1_epi8(static_cast<char>(b));
}

// Bytes from lo to hi (unsigned).
TAPVANE_AVX512 inline __mmask64 InRange(__m512i v, unsigned char lo, unsigned char hi) {
    return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, Splat(lo)),
                                  Splat(static_cast<unsigned char>(hi - lo)));
}

// Continuation bytes 0x80-0xBF.
TAPVANE_AVX512 inline __mmask64 IsContinuation(__m512i v) {
    return InRange(v, 0x80, 0xBF);
}

// The bytes of the chunk at p (b0) inside valid sequences, given `carry`, those inside a
// sequence begun before it; sets `carry` for the next chunk. Where valid sequences start:
// the same ranges as the other paths.
TAPVANE_AVX512 inline std::uint64_t Inside(const unsigned char* p, __m512i b0,
                                           std::uint64_t& carry) {
    const __m512i b1 = Load(p + 1);
    const std::uint64_t c1 = IsContinuation(b1);
    const std::uint64_t c2 = IsContinuation(Load(p + 2));
    const std::uint64_t c3 = IsContinuation(Load(p + 3));
    const std::uint64_t low9F = InRange(b1, 0x80, 0x9F);
    const std::uint64_t low8F = InRange(b1, 0x80, 0x8F);
    const std::uint64_t bad3 = (_mm512_cmpeq_epi8_mask(b0, Splat(0xE0)) & low9F) |
                               (_mm512_cmpeq_epi8_mask(b0, Splat(0xED)) & ~low9F);
    const std::uint64_t bad4 = (_mm512_cmpeq_epi8_mask(b0, Splat(0xF0)) & low8F) |
                               (_mm512_cmpeq_epi8_mask(b0, Splat(0xF4)) & ~low8F);
    const std::uint64_t s2 = InRange(b0, 0xC2, 0xDF) & c1;
    const std::uint64_t s3 = InRange(b0, 0xE0, 0xEF) & c1 & c2 & ~bad3;
    const std::uint64_t s4 = InRange(b0, 0xF0, 0xF4) & c1 & c2 & c3 & ~bad4;
    const std::uint64_t inside = carry | s2 | s3 | s4 | (s2 << 1) | (s3 << 1) | (s3 << 2) |
                                 (s4 << 1) | (s4 << 2) | (s4 << 3);
    carry = (s2 >> 63) | (s3 >> 63) | (s3 >> 62) | (s4 >> 63) | (s4 >> 62) | (s4 >> 61);
    return inside;
}

// Quarter q of v. (The plain extract intrinsic draws a false "may be used uninitialized"
// from this compiler; the masked one with all lanes taken is the same instruction.)
template <int q>
TAPVANE_AVX512 inline __m128i Quarter(__m512i v) {
    return _mm512_mask_extracti32x4_epi32(_mm_setzero_si128(), 0xFF, v, q);
}

// The texts of the bytes 0x80-0x9F (see CHighBytes), each half repeated in all four
// quarters of a register, as the byte shuffle wants them. (Loaded whole: the broadcast
// intrinsic draws a false "may be used uninitialized" from this compiler.)
struct CHighBytes512 {
    alignas(64) unsigned char lo[3][64];
    alignas(64) unsigned char hi[3][64];

    bool bFilled = false;

    // Filled at the first use only: text and valid UTF-8 never need it (see the AVX2 path).
    const CHighBytes512& For(const ByteTextTable& table) {
        if (!bFilled) {
            Fill(table);
            bFilled = true;
        }
        return *this;
    }

    void Fill(const ByteTextTable& table) {
        chunks::CHighBytes high;
        high.Fill(table);
        for (int q = 0; q < 3; ++q) {
            for (int k = 0; k < 64; ++k) {
                lo[q][k] = high.bytes[q][k % 16];
                hi[q][k] = high.bytes[q][16 + k % 16];
            }
        }
    }

    // Byte q of the text of each byte (meaningful for 0x80-0x9F only); `index` as in the
    // AVX2 path: the byte less 0x10.
    TAPVANE_AVX512 __m512i Get(int q, __m512i index) const {
        return _mm512_or_si512(
            _mm512_shuffle_epi8(_mm512_load_si512(lo[q]), index),
            _mm512_shuffle_epi8(_mm512_load_si512(hi[q]), _mm512_xor_si512(index, Splat(0x80))));
    }
};

// The text of each byte of a chunk, in three registers (first, second, third byte), and
// which bytes' texts are two bytes or more and which three.
struct CChunkTexts {
    __m512i o0;
    __m512i o1;
    __m512i o2;
    std::uint64_t changed;
    std::uint64_t three;
};

// The texts of the chunk `b`, of whose bytes those set in `inside` belong to valid
// sequences.
TAPVANE_AVX512 inline CChunkTexts TextsOf(__m512i b, std::uint64_t inside,
                                          const CHighBytes512& highBytes, bool bShowZero) {
    const __mmask64 high = _mm512_movepi8_mask(b) & ~inside;
    const __mmask64 fromA0 = _mm512_cmpge_epu8_mask(b, Splat(0xA0));
    // Outside a sequence: 0xA0-0xFF become two bytes, 0xC2 or 0xC3 and the byte with its
    // second bit cleared; 0x80-0x9F what the table says; a shown zero byte U+2400.
    const __mmask64 two = high & fromA0;
    const __mmask64 c1 = high & ~fromA0;
    const __mmask64 z = bShowZero ? _mm512_testn_epi8_mask(b, b) : 0;
    const __m512i index = _mm512_sub_epi8(b, Splat(0x10));
    const __m512i lead =
        _mm512_mask_blend_epi8(_mm512_cmpge_epu8_mask(b, Splat(0xC0)), Splat(0xC2), Splat(0xC3));
    __m512i o0 = _mm512_mask_mov_epi8(b, two, lead);
    o0 = _mm512_mask_mov_epi8(o0, c1, highBytes.Get(0, index));
    o0 = _mm512_mask_mov_epi8(o0, z, Splat(0xE2));
    __m512i o1 = _mm512_maskz_mov_epi8(two, _mm512_and_si512(b, Splat(0xBF)));
    o1 = _mm512_mask_mov_epi8(o1, c1, highBytes.Get(1, index));
    o1 = _mm512_mask_mov_epi8(o1, z, Splat(0x90));
    const __m512i third = _mm512_maskz_mov_epi8(c1, highBytes.Get(2, index));
    return {o0, o1, _mm512_mask_mov_epi8(third, z, Splat(0x80)), two | c1 | z,
            _mm512_test_epi8_mask(third, third) | z};
}

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

// One chunk of the conversion loop, the part both AVX-512 ways share: copies a chunk
// that stays as it is to dst and returns true; else leaves it to the caller, with `inside`
// set. `carry` as in Inside.
TAPVANE_AVX512 inline bool CopyUnchanged(const unsigned char* p, __m512i b0, bool bShowZero,
                                         std::uint64_t& carry, std::uint64_t& inside, char*& dst) {
    const std::uint64_t highBits = _mm512_movepi8_mask(b0);
    const std::uint64_t zeroBits = bShowZero ? _mm512_testn_epi8_mask(b0, b0) : 0;
    // ASCII text (without zero bytes when those are shown), or valid UTF-8 text: the chunk
    // as it is.
    if (carry != 0 || (highBits | zeroBits) != 0) {
        inside = Inside(p, b0, carry);
        if (((highBits | zeroBits) & ~inside) != 0) {
            return false;
        }
    }
    _mm512_storeu_si512(dst, b0);
    dst += kChunk;
    return true;
}

// After the last chunk: a sequence that runs on from it keeps its bytes as they are.
inline std::size_t FinishChunks(const unsigned char* pBytes, std::size_t i, std::uint64_t carry,
                                const char* pOut, char* dst, std::size_t& nWritten) {
    for (; carry != 0; carry >>= 1, ++i) {
        *dst++ = static_cast<char>(pBytes[i]);
    }
    nWritten = static_cast<std::size_t>(dst - pOut);
    return i;
}

#define TAPVANE_VBMI2 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

// The slots of a quarter's texts before they are packed: four per byte, the byte's first,
// second and third text byte and one unused. As indexes into o0 (0-63) followed by o1
// (64-127); the third byte's slot takes o2 with the same index, less 64.
struct CSlotIndexes {
    alignas(64) unsigned char index[4][64];
};

constexpr CSlotIndexes MakeSlotIndexes() {
    CSlotIndexes slots{};
    for (int q = 0; q < 4; ++q) {
        for (int k = 0; k < 16; ++k) {
            const auto b = static_cast<unsigned char>(16 * q + k);
            slots.index[q][4 * k] = b;
            slots.index[q][4 * k + 1] = static_cast<unsigned char>(64 + b);
            slots.index[q][4 * k + 2] = b;
            slots.index[q][4 * k + 3] = b;
        }
    }
    return slots;
}

alignas(64) constexpr CSlotIndexes kSlots = MakeSlotIndexes();

// ConvertChunk with byte permutes and a byte compress: each quarter's texts are spread to
// four slots per byte and the slots in use packed together in one instruction, instead of
// sixteen table look-ups and stores. Writes up to 32 bytes past the text, within the room
// of three bytes per byte.
TAPVANE_VBMI2 inline char* ConvertChunkCompress(__m512i b, std::uint64_t inside,
                                                const CHighBytes512& highBytes, bool bShowZero,
                                                char* dst) {
    const CChunkTexts texts = TextsOf(b, inside, highBytes, bShowZero);
    constexpr std::uint64_t kFirst = 0x1111111111111111ull;
    for (int q = 0; q < 4; ++q) {
        const __m512i slots = _mm512_load_si512(kSlots.index[q]);
        __m512i spread = _mm512_permutex2var_epi8(texts.o0, slots, texts.o1);
        spread = _mm512_mask_permutexvar_epi8(spread, kFirst << 2, slots, texts.o2);
        const std::uint64_t used = kFirst |
                                   _pdep_u64((texts.changed >> (16 * q)) & 0xFFFF, kFirst << 1) |
                                   _pdep_u64((texts.three >> (16 * q)) & 0xFFFF, kFirst << 2);
        const int nLength = __builtin_popcountll(used);
        const __m512i text = _mm512_maskz_compress_epi8(used, spread);
        if (q < 3) {
            // Runs past the text into what the next quarters overwrite, and at most 160
            // bytes past the chunk's start in the text: within the room of three bytes per
            // byte. A masked store costs more.
            _mm512_storeu_si512(dst, text);
        } else {
            _mm512_mask_storeu_epi8(
                dst, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(nLength)), text);
        }
        dst += nLength;
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

bool Avx512CompressChunksSupported() {
    static const bool bSupported = [] {
        __builtin_cpu_init();
        return Avx512ChunksSupported() && __builtin_cpu_supports("avx512vbmi") != 0 &&
               __builtin_cpu_supports("avx512vbmi2") != 0 && __builtin_cpu_supports("bmi2") != 0;
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

// The loop of AnsiToUtf8ChunksAvx512 again: a template shared by both would carry one
// target, and the way without these instructions must not run them.
TAPVANE_VBMI2 std::size_t AnsiToUtf8ChunksAvx512Compress(const unsigned char* pBytes,
                                                         std::size_t nBytes,
                                                         const ByteTextTable& table, bool bShowZero,
                                                         char* pOut, std::size_t& nWritten) {
    char* dst = pOut;
    std::size_t i = 0;
    std::uint64_t carry = 0;
    CHighBytes512 highBytes;
    for (; i + kChunk + kLookAhead <= nBytes; i += kChunk) {
        const __m512i b0 = Load(pBytes + i);
        std::uint64_t inside = 0;
        if (!CopyUnchanged(pBytes + i, b0, bShowZero, carry, inside, dst)) {
            dst = ConvertChunkCompress(b0, inside, highBytes.For(table), bShowZero, dst);
        }
    }
    return FinishChunks(pBytes, i, carry, pOut, dst, nWritten);
}

#undef TAPVANE_VBMI2

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

#undef TAPVANE_AVX512

#else

bool Avx512ChunksSupported() {
    return false;
}

bool Avx512CompressChunksSupported() {
    return false;
}

std::size_t AnsiToUtf8ChunksAvx512Compress(const unsigned char*, std::size_t, const ByteTextTable&,
                                           bool, char*, std::size_t& nWritten) {
    nWritten = 0;
    return 0;
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
