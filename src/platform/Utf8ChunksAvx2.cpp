// The chunked conversion of AnsiToUtf8Chunks for processors with AVX2, 32 bytes at a time
// and without a table store per byte: every byte's text (one to three bytes) is worked out
// in vector registers, each laid out in four bytes of its own, and each group of four is
// packed into its text with one shuffle whose pattern depends only on the four lengths.
// The functions carry their own target, so the file builds for the baseline processor and
// the caller picks this path only where the processor has AVX2.
#include "platform/Utf8Chunks.h"
#include "platform/Utf8ChunksPacking.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define TAPVANE_AVX2_CHUNKS 1
#include <immintrin.h>
#endif

namespace win {

#if defined(TAPVANE_AVX2_CHUNKS)

namespace {

#define TAPVANE_AVX2 __attribute__((target("avx2")))

using chunks::kChunk;
using chunks::kLookAhead;
using chunks::kPacking;

TAPVANE_AVX2 inline __m256i Load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Constants are loaded from memory: the compiler then uses them as operands in place,
// where a broadcast made in the loop would cost two instructions each time.
template <std::uint64_t kPattern>
struct alignas(32) CConst {
    std::uint64_t words[4] = {kPattern, kPattern, kPattern, kPattern};
};
template <std::uint64_t kPattern>
constexpr CConst<kPattern> kConst{};

// The 64-bit pattern in every quarter of a register.
template <std::uint64_t kPattern>
TAPVANE_AVX2 inline __m256i Const() {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(kConst<kPattern>.words));
}

// The byte in every byte of a register.
template <unsigned char kByte>
TAPVANE_AVX2 inline __m256i Splat() {
    return Const<0x0101010101010101ull * kByte>();
}

// Bytes from lo to hi (unsigned): all ones, else zero.
template <unsigned char kLo, unsigned char kHi>
TAPVANE_AVX2 inline __m256i InRange(__m256i v) {
    const __m256i d = _mm256_sub_epi8(v, Splat<kLo>());
    return _mm256_cmpeq_epi8(_mm256_min_epu8(d, Splat<kHi - kLo>()), d);
}

// Continuation bytes 0x80-0xBF: as signed bytes, those below -64.
TAPVANE_AVX2 inline __m256i IsContinuation(__m256i v) {
    return _mm256_cmpgt_epi8(Splat<0xC0>(), v);
}

TAPVANE_AVX2 inline std::uint64_t Mask(__m256i v, int nHalf) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)))
           << (32 * nHalf);
}

// Where valid sequences of two, three and four bytes start among the 32 bytes at p (which
// may look three bytes further); the same ranges as the 16-byte path and the byte-by-byte
// conversion: no overlong forms, surrogates or values above U+10FFFF.
struct CStarts {
    std::uint64_t s2 = 0;
    std::uint64_t s3 = 0;
    std::uint64_t s4 = 0;
    std::uint64_t high = 0;  // bytes with the top bit set
    std::uint64_t zero = 0;  // zero bytes

    TAPVANE_AVX2 void Add(const unsigned char* p, int nHalf) {
        const __m256i b0 = Load(p);
        const __m256i b1 = Load(p + 1);
        const __m256i c1 = IsContinuation(b1);
        const __m256i c2 = IsContinuation(Load(p + 2));
        const __m256i c3 = IsContinuation(Load(p + 3));
        const __m256i v2 = _mm256_and_si256(InRange<0xC2, 0xDF>(b0), c1);
        const __m256i low9F = InRange<0x80, 0x9F>(b1);
        const __m256i bad3 =
            _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(b0, Splat<0xE0>()), low9F),
                            _mm256_andnot_si256(low9F, _mm256_cmpeq_epi8(b0, Splat<0xED>())));
        const __m256i v3 = _mm256_andnot_si256(
            bad3, _mm256_and_si256(InRange<0xE0, 0xEF>(b0), _mm256_and_si256(c1, c2)));
        const __m256i low8F = InRange<0x80, 0x8F>(b1);
        const __m256i bad4 =
            _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(b0, Splat<0xF0>()), low8F),
                            _mm256_andnot_si256(low8F, _mm256_cmpeq_epi8(b0, Splat<0xF4>())));
        const __m256i v4 = _mm256_andnot_si256(
            bad4, _mm256_and_si256(InRange<0xF0, 0xF4>(b0),
                                   _mm256_and_si256(c1, _mm256_and_si256(c2, c3))));
        s2 |= Mask(v2, nHalf);
        s3 |= Mask(v3, nHalf);
        s4 |= Mask(v4, nHalf);
        high |= Mask(b0, nHalf);
        zero |= Mask(_mm256_cmpeq_epi8(b0, _mm256_setzero_si256()), nHalf);
    }
};

// The 32 bits as 32 bytes: all ones where the bit is set.
TAPVANE_AVX2 inline __m256i BitsToBytes(std::uint32_t bits) {
    const __m256i spread =
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)),
                            _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                             2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
    const __m256i select = Const<0x8040201008040201ull>();
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, select), select);
}

// Byte q of the text of each byte (meaningful for 0x80-0x9F only). `index` is the byte
// less 0x10, whose low four bits pick the entry and whose top bit is clear for 0x80-0x8F
// only; the shuffle gives zero where the top bit of its index is set.
TAPVANE_AVX2 inline __m256i HighByte(const chunks::CHighBytes& high, int q, __m256i index) {
    const __m256i lo = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(high.bytes[q])));
    const __m256i hi = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(high.bytes[q] + 16)));
    return _mm256_or_si256(_mm256_shuffle_epi8(lo, index),
                           _mm256_shuffle_epi8(hi, _mm256_xor_si256(index, Splat<0x80>())));
}

// Converts the 32 bytes at p, of which those set in `inside` belong to valid sequences,
// to text at dst; returns the end of the text. Writes up to 12 bytes past it.
TAPVANE_AVX2 inline char* ConvertHalf(const unsigned char* p, std::uint32_t inside,
                                      const chunks::CHighBytes& highBytes, bool bShowZero,
                                      char* dst) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i b = Load(p);
    const __m256i high = _mm256_andnot_si256(BitsToBytes(inside), _mm256_cmpgt_epi8(zero, b));
    const __m256i fromA0 = _mm256_cmpeq_epi8(_mm256_max_epu8(b, Splat<0xA0>()), b);
    // Outside a sequence: 0xA0-0xFF become two bytes, 0xC2 or 0xC3 and the byte with its
    // second bit cleared; 0x80-0x9F what the table says; a shown zero byte U+2400.
    const __m256i two = _mm256_and_si256(high, fromA0);
    const __m256i c1 = _mm256_andnot_si256(fromA0, high);
    const __m256i z = bShowZero ? _mm256_cmpeq_epi8(b, zero) : zero;
    const __m256i index = _mm256_sub_epi8(b, Splat<0x10>());
    // The lead: 0xC2, one more from 0xC0 on (signed, those above -65).
    const __m256i lead = _mm256_sub_epi8(Splat<0xC2>(), _mm256_cmpgt_epi8(b, Splat<0xBF>()));
    const __m256i changed = _mm256_or_si256(_mm256_or_si256(two, c1), z);
    const __m256i o0 = _mm256_or_si256(
        _mm256_or_si256(_mm256_andnot_si256(changed, b), _mm256_and_si256(two, lead)),
        _mm256_or_si256(_mm256_and_si256(c1, HighByte(highBytes, 0, index)),
                        _mm256_and_si256(z, Splat<0xE2>())));
    const __m256i o1 =
        _mm256_or_si256(_mm256_and_si256(two, _mm256_and_si256(b, Splat<0xBF>())),
                        _mm256_or_si256(_mm256_and_si256(c1, HighByte(highBytes, 1, index)),
                                        _mm256_and_si256(z, Splat<0x90>())));
    const __m256i third = _mm256_and_si256(c1, HighByte(highBytes, 2, index));
    const __m256i o2 = _mm256_or_si256(third, _mm256_and_si256(z, Splat<0x80>()));
    const __m256i three =
        _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpeq_epi8(third, zero), c1), z);

    // The key of each group of four bytes (see CGroupPacking), summed in vector lanes: byte
    // k of a group adds bit k when its text is longer than one byte, bit 4 + k when three.
    const __m256i weights =
        _mm256_or_si256(_mm256_and_si256(changed, Const<0x0804020108040201ull>()),
                        _mm256_and_si256(three, Const<0x8040201080402010ull>()));
    alignas(32) std::uint32_t keys[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(keys),
                       _mm256_madd_epi16(_mm256_maddubs_epi16(weights, Splat<1>()),
                                         Const<0x0001000100010001ull>()));

    // Each byte's text in four bytes of its own. The unpacks work within each 128-bit half:
    // entries[j] holds the groups j (bytes 4j to 4j+3) and j + 4.
    const __m256i lo01 = _mm256_unpacklo_epi8(o0, o1);
    const __m256i hi01 = _mm256_unpackhi_epi8(o0, o1);
    const __m256i lo2 = _mm256_unpacklo_epi8(o2, zero);
    const __m256i hi2 = _mm256_unpackhi_epi8(o2, zero);
    const __m256i entries[4] = {_mm256_unpacklo_epi16(lo01, lo2), _mm256_unpackhi_epi16(lo01, lo2),
                                _mm256_unpacklo_epi16(hi01, hi2), _mm256_unpackhi_epi16(hi01, hi2)};
    __m256i packed[4];
    for (int j = 0; j < 4; ++j) {
        const __m256i pattern = _mm256_inserti128_si256(
            _mm256_castsi128_si256(
                _mm_load_si128(reinterpret_cast<const __m128i*>(kPacking.shuffle[keys[j]].data()))),
            _mm_load_si128(reinterpret_cast<const __m128i*>(kPacking.shuffle[keys[j + 4]].data())),
            1);
        packed[j] = _mm256_shuffle_epi8(entries[j], pattern);
    }
    for (int j = 0; j < 4; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(packed[j]));
        dst += kPacking.length[keys[j]];
    }
    for (int j = 0; j < 4; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_extracti128_si256(packed[j], 1));
        dst += kPacking.length[keys[j + 4]];
    }
    return dst;
}

// Whether the kChunk bytes at `p` are ASCII that stays as it is: no byte above 0x7F, and
// no zero byte when zero bytes are shown as a symbol. In 16-byte loads, as the copy below,
// which cross no cache line in a buffer aligned to 16 bytes.
TAPVANE_AVX2 inline bool IsPlainAsciiChunk(const unsigned char* p, bool bShowZero) {
    __m128i any = _mm_setzero_si128();
    __m128i zero = _mm_setzero_si128();
    for (int nPart = 0; nPart < 4; ++nPart) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * nPart));
        any = _mm_or_si128(any, b);
        zero = _mm_or_si128(zero, _mm_cmpeq_epi8(b, _mm_setzero_si128()));
    }
    return _mm_movemask_epi8(bShowZero ? _mm_or_si128(any, zero) : any) == 0;
}

// The chunk at p as it is, to dst.
TAPVANE_AVX2 inline void CopyChunk(const unsigned char* p, char* dst) {
    for (int nPart = 0; nPart < 4; ++nPart) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * nPart),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * nPart)));
    }
}

}  // namespace

bool Avx2ChunksSupported() {
    static const bool bSupported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return bSupported;
}

TAPVANE_AVX2 std::size_t AnsiToUtf8ChunksAvx2(const unsigned char* pBytes, std::size_t nBytes,
                                              const ByteTextTable& table, bool bShowZero,
                                              char* pOut, std::size_t& nWritten) {
    char* dst = pOut;
    std::size_t i = 0;
    std::uint64_t carry = 0;  // bytes of this chunk inside a sequence begun before it
    // Made at the first chunk that needs it: text needs none, and a short block would
    // spend more on it than on its conversion.
    chunks::CHighBytes highBytes;
    bool bHighBytes = false;
    for (; i + kChunk + kLookAhead <= nBytes; i += kChunk) {
        const unsigned char* p = pBytes + i;
        if (carry == 0 && IsPlainAsciiChunk(p, bShowZero)) {
            CopyChunk(p, dst);
            dst += kChunk;
            continue;
        }
        CStarts starts;
        starts.Add(p, 0);
        starts.Add(p + 32, 1);
        const std::uint64_t s2 = starts.s2;
        const std::uint64_t s3 = starts.s3;
        const std::uint64_t s4 = starts.s4;
        const std::uint64_t inside = carry | s2 | s3 | s4 | (s2 << 1) | (s3 << 1) | (s3 << 2) |
                                     (s4 << 1) | (s4 << 2) | (s4 << 3);
        carry = (s2 >> 63) | (s3 >> 63) | (s3 >> 62) | (s4 >> 63) | (s4 >> 62) | (s4 >> 61);
        const std::uint64_t changed = (starts.high | (bShowZero ? starts.zero : 0)) & ~inside;
        if (changed == 0) {
            // ASCII text, valid UTF-8 text: the chunk as it is.
            CopyChunk(p, dst);
            dst += kChunk;
            continue;
        }
        if (!bHighBytes) {
            highBytes.Fill(table);
            bHighBytes = true;
        }
        // Each half writes up to 12 bytes past its text, which the next text overwrites;
        // past the last chunk, the three bytes of room per byte of its look-ahead cover it.
        dst = ConvertHalf(p, static_cast<std::uint32_t>(inside), highBytes, bShowZero, dst);
        dst = ConvertHalf(p + 32, static_cast<std::uint32_t>(inside >> 32), highBytes, bShowZero,
                          dst);
    }
    // A sequence that runs on from the last chunk: its bytes stay as they are.
    for (; carry != 0; carry >>= 1, ++i) {
        *dst++ = static_cast<char>(pBytes[i]);
    }
    nWritten = static_cast<std::size_t>(dst - pOut);
    return i;
}

#undef TAPVANE_AVX2

#else

bool Avx2ChunksSupported() {
    return false;
}

std::size_t AnsiToUtf8ChunksAvx2(const unsigned char*, std::size_t, const ByteTextTable&, bool,
                                 char*, std::size_t& nWritten) {
    nWritten = 0;
    return 0;
}

#endif

}  // namespace win
