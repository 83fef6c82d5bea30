// What the vector paths of AnsiToUtf8Chunks (Utf8ChunksAvx2.cpp, Utf8ChunksAvx512*.cpp)
// share: the patterns that pack groups of four bytes' texts, and the texts of the bytes
// 0x80-0x9F laid out for byte shuffles.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/Utf8Chunks.h"

namespace win::chunks {

constexpr std::size_t kChunk = 64;
// A sequence starting on the chunk's last byte is checked against the three after it.
constexpr std::size_t kLookAhead = 3;

// How four bytes' texts, each in the low bytes of four, are packed side by side: the key
// holds in its low four bits which of them are two bytes or more, in its high four bits
// which are three. The pattern is a byte shuffle; the length the group's text.
struct CGroupPacking {
    std::array<std::array<unsigned char, 16>, 256> shuffle{};
    std::array<unsigned char, 256> length{};
};

constexpr CGroupPacking MakeGroupPacking() {
    CGroupPacking packing{};
    for (unsigned key = 0; key < 256; ++key) {
        unsigned n = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned nLength = 1 + ((key >> k) & 1) + ((key >> (4 + k)) & 1);
            for (unsigned q = 0; q < nLength; ++q) {
                packing.shuffle[key][n++] = static_cast<unsigned char>(4 * k + q);
            }
        }
        packing.length[key] = static_cast<unsigned char>(n);
        for (; n < 16; ++n) {
            packing.shuffle[key][n] = 0x80;  // zero: written past the text, overwritten later
        }
    }
    return packing;
}

alignas(64) inline constexpr CGroupPacking kPacking = MakeGroupPacking();

// The texts of the bytes 0x80-0x9F from the caller's table, laid out for byte shuffles by
// their low four bits: the first, second and third byte (zero when there is none), for
// 0x80-0x8F and then 0x90-0x9F.
struct CHighBytes {
    alignas(16) unsigned char bytes[3][32];

    void Fill(const ByteTextTable& table) {
        for (unsigned k = 0; k < 32; ++k) {
            const std::uint32_t e = table[0x80 + k];
            for (unsigned q = 0; q < 3; ++q) {
                bytes[q][k] = q < (e >> 24) ? static_cast<unsigned char>(e >> (8 * q)) : 0;
            }
        }
    }
};

}  // namespace win::chunks
