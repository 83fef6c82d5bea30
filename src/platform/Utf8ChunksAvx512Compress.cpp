// The AVX-512 way of the chunked conversion with byte permutes and compresses (AVX-512 VBMI
// and VBMI2, BMI2): each quarter of a chunk's texts is spread to four slots per byte and the
// slots in use packed together with one instruction, instead of the other way's table
// look-ups per group of four. The functions carry their own target; the caller picks this
// way only where the processor has it.
#include "platform/Utf8Chunks.h"
#include "platform/Utf8ChunksAvx512Parts.h"

namespace win {

#if defined(TAPVANE_AVX512_CHUNKS)

namespace {

using namespace chunks512;
using chunks::kChunk;
using chunks::kLookAhead;

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

bool Avx512CompressChunksSupported() {
    static const bool bSupported = [] {
        __builtin_cpu_init();
        return Avx512ChunksSupported() && __builtin_cpu_supports("avx512vbmi") != 0 &&
               __builtin_cpu_supports("avx512vbmi2") != 0 && __builtin_cpu_supports("bmi2") != 0;
    }();
    return bSupported;
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

#else

bool Avx512CompressChunksSupported() {
    return false;
}

std::size_t AnsiToUtf8ChunksAvx512Compress(const unsigned char*, std::size_t, const ByteTextTable&,
                                           bool, char*, std::size_t& nWritten) {
    nWritten = 0;
    return 0;
}

#endif

}  // namespace win
