// What the two AVX-512 ways of the chunked conversion share (Utf8ChunksAvx512.cpp and
// Utf8ChunksAvx512Compress.cpp): loading and classifying a chunk, the texts of its bytes in
// three registers, and the loop's copy of a chunk that stays as it is. Every function
// carries its target; the callers run only where the processor has it.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define TAPVANE_AVX512_CHUNKS 1
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "platform/Utf8Chunks.h"
#include "platform/Utf8ChunksPacking.h"

namespace win::chunks512 {

#define TAPVANE_AVX512 __attribute__((target("avx512f,avx512bw")))

using chunks::kChunk;
using chunks::kLookAhead;

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

}  // namespace win::chunks512

#endif
