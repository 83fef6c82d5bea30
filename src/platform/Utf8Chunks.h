// The bulk of the log's byte-to-text conversion (see AnsiToUtf8 in TextConv.h), 64 bytes at
// a time: where valid UTF-8 sequences start is found for the whole chunk at once with
// vector compares, and every byte goes through a table without a branch, so that binary
// data costs a few instructions per byte instead of a mispredicted branch or two.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

// The output of one byte, packed: up to three bytes of text in the low bytes, their count
// in the top byte. Entry b is the byte b on its own; entry 256 + b the byte b inside a
// valid UTF-8 sequence (which stays as it is).
using ByteTextTable = std::uint32_t[512];

// Converts the leading whole chunks of `bytes` into `pOut` (room for 3 bytes per byte) and
// stops where the rest is too short for a chunk and its look-ahead; returns the bytes
// consumed and sets `nWritten`. It never stops inside a valid sequence, so the rest
// converts as a block of its own would. Without vector support it consumes nothing.
// Any thread: the way (below) is chosen once, at the first call.
std::size_t AnsiToUtf8Chunks(const unsigned char* pBytes, std::size_t nBytes,
                             const ByteTextTable& table, bool bShowZero, char* pOut,
                             std::size_t& nWritten);

// The ways AnsiToUtf8Chunks works, with the same result; it takes the widest the processor
// has. Each is callable on its own so that all can be tested: 16 bytes at a time with a
// table store per byte (any x86-64), 32 bytes at a time with AVX2 (only where
// Avx2ChunksSupported()) and 64 with AVX-512 (only where Avx512ChunksSupported()).
// Without vector support (another architecture) they consume nothing.
std::size_t AnsiToUtf8ChunksSse2(const unsigned char* pBytes, std::size_t nBytes,
                                 const ByteTextTable& table, bool bShowZero, char* pOut,
                                 std::size_t& nWritten);
std::size_t AnsiToUtf8ChunksAvx2(const unsigned char* pBytes, std::size_t nBytes,
                                 const ByteTextTable& table, bool bShowZero, char* pOut,
                                 std::size_t& nWritten);
std::size_t AnsiToUtf8ChunksAvx512(const unsigned char* pBytes, std::size_t nBytes,
                                   const ByteTextTable& table, bool bShowZero, char* pOut,
                                   std::size_t& nWritten);
// The AVX-512 way with byte permutes and compresses instead of table look-ups (only where
// Avx512CompressChunksSupported()).
std::size_t AnsiToUtf8ChunksAvx512Compress(const unsigned char* pBytes, std::size_t nBytes,
                                           const ByteTextTable& table, bool bShowZero,
                                           char* pOut, std::size_t& nWritten);
// Any thread. Whether this processor (and its system) runs AVX2, AVX-512 F and BW (with
// POPCNT), and these with AVX-512 VBMI, VBMI2 and BMI2, code.
bool Avx2ChunksSupported();
bool Avx512ChunksSupported();
bool Avx512CompressChunksSupported();

// Called for every CR or LF byte that a measure passes: its offset in the bytes and the
// offset of the same byte in the text (a break byte becomes itself and never lies inside
// a sequence, so it stays a break of the text).
using BreakFn = void (*)(void* pContext, std::size_t nRaw, std::size_t nText);

// Measures what AnsiToUtf8Chunks writes for the same bytes, without writing it: stops where
// it stops, returns the bytes consumed and sets `nText` to the length of their text, and
// reports every break on the way to fnBreak (which may be null). Outside a sequence the
// bytes 0x80-0x9F take their length from `table`, the bytes 0xA0-0xFF must become two
// bytes each and a zero byte one (three when shown): the caller checks its table for that.
// Any thread.
std::size_t MeasureAnsiToUtf8Chunks(const unsigned char* pBytes, std::size_t nBytes,
                                    const ByteTextTable& table, bool bShowZero, BreakFn fnBreak,
                                    void* pContext, std::size_t& nText);
// The ways MeasureAnsiToUtf8Chunks works, with the same result (it takes the AVX-512 one
// where Avx512ChunksSupported()), callable on their own for the tests.
std::size_t MeasureAnsiToUtf8ChunksSse2(const unsigned char* pBytes, std::size_t nBytes,
                                        const ByteTextTable& table, bool bShowZero, BreakFn fnBreak,
                                        void* pContext, std::size_t& nText);
std::size_t MeasureAnsiToUtf8ChunksAvx512(const unsigned char* pBytes, std::size_t nBytes,
                                          const ByteTextTable& table, bool bShowZero,
                                          BreakFn fnBreak, void* pContext, std::size_t& nText);

}  // namespace win
