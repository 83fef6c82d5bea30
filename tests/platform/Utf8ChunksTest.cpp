#include "platform/Utf8Chunks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Utf8EdgeSequences.h"
#include "platform/TextConv.h"

namespace {

// The byte-by-byte conversion the chunked ones must equal: to wide text and back.
std::string Reference(std::string_view bytes, bool bShowZero) {
    std::wstring wide = win::AnsiToWide(bytes);
    if (bShowZero) {
        std::replace(wide.begin(), wide.end(), L'\0', L'\u2400');
    }
    return win::WideToAnsi(wide);
}

// The chunked conversion's table, made from the reference: each byte's own text, and each
// byte unchanged inside a sequence.
struct CTable {
    win::ByteTextTable entries{};
    explicit CTable(bool bShowZero) {
        for (unsigned b = 0; b < 256; ++b) {
            const std::string text = Reference(std::string(1, static_cast<char>(b)), bShowZero);
            std::uint32_t e = static_cast<std::uint32_t>(text.size()) << 24;
            for (std::size_t k = 0; k < text.size(); ++k) {
                e |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[k])) << (8 * k);
            }
            entries[b] = e;
            entries[256 + b] = b | 1u << 24;
        }
    }
};

const CTable& Table(bool bShowZero) {
    static const CTable kPlain(false);
    static const CTable kShown(true);
    return bShowZero ? kShown : kPlain;
}

using ChunksFn = std::size_t (*)(const unsigned char*, std::size_t, const win::ByteTextTable&, bool,
                                 char*, std::size_t&);

struct CPath {
    const char* pszName;
    ChunksFn fn;
};

// The paths this processor can run: the 16-byte one always, the wider ones where supported.
std::vector<CPath> Paths() {
    std::vector<CPath> paths = {{"sse2", &win::AnsiToUtf8ChunksSse2}};
    if (win::Avx2ChunksSupported()) {
        paths.push_back({"avx2", &win::AnsiToUtf8ChunksAvx2});
    }
    if (win::Avx512ChunksSupported()) {
        paths.push_back({"avx-512", &win::AnsiToUtf8ChunksAvx512});
    }
    if (win::Avx512CompressChunksSupported()) {
        paths.push_back({"avx-512 compress", &win::AnsiToUtf8ChunksAvx512Compress});
    }
    return paths;
}

// Runs one path over `bytes` and checks it: it converts every whole chunk (and a sequence
// that runs on from the last), exactly as the reference converts those bytes, and writes
// nothing past three bytes per input byte.
::testing::AssertionResult ConvertsLikeTheReference(const CPath& path, std::string_view bytes,
                                                    bool bShowZero) {
    const std::size_t n = bytes.size();
    constexpr std::size_t kGuard = 32;
    std::string out(3 * n + kGuard, '\x5A');
    std::size_t nWritten = 12345;
    const std::size_t nDone = path.fn(reinterpret_cast<const unsigned char*>(bytes.data()), n,
                                      Table(bShowZero).entries, bShowZero, out.data(), nWritten);
    const std::size_t nChunks = n >= 67 ? (n - 3) / 64 : 0;
    if (nDone < 64 * nChunks || nDone > 64 * nChunks + 3) {
        return ::testing::AssertionFailure()
               << path.pszName << ": consumed " << nDone << " of " << n << " bytes";
    }
    const std::string want = Reference(bytes.substr(0, nDone), bShowZero);
    if (nWritten != want.size() || out.compare(0, nWritten, want) != 0) {
        std::size_t k = 0;
        while (k < std::min(nWritten, want.size()) && out[k] == want[k]) {
            ++k;
        }
        return ::testing::AssertionFailure()
               << path.pszName << ": " << nWritten << " bytes written, " << want.size()
               << " wanted, first difference at " << k;
    }
    if (out.compare(3 * n, kGuard, std::string(kGuard, '\x5A')) != 0) {
        return ::testing::AssertionFailure() << path.pszName << ": wrote past its room";
    }
    return ::testing::AssertionSuccess();
}

// Random inputs of every kind the log sees: binary, text with and without sequences, the
// bytes of the longest texts.
std::vector<std::string> RandomInputs() {
    std::mt19937 rng(41);
    std::vector<std::string> inputs;
    for (int nCase = 0; nCase < 24; ++nCase) {
        std::string bytes;
        const std::size_t nSize = 64 * 5 + rng() % 64;
        while (bytes.size() < nSize) {
            const unsigned r = rng() % 8;
            const unsigned nKind = static_cast<unsigned>(nCase % 4);
            if (nKind == 0 || (nKind == 1 && r < 3)) {
                bytes.push_back(static_cast<char>(rng()));  // binary
            } else if (nKind == 2) {
                bytes.push_back(static_cast<char>(0x80 + rng() % 0x20 * (r != 0)));  // 0x80-0x9F
            } else {
                bytes += test::kUtf8EdgeSequences[rng() % std::size(test::kUtf8EdgeSequences)];
            }
        }
        inputs.push_back(bytes);
    }
    return inputs;
}

// The random inputs, each converted from every start offset within a chunk, so that every
// byte and sequence falls at every place of a chunk and across its end.
TEST(Utf8ChunksTest, EveryPathMatchesTheReferenceOnRandomInputsCutAtEveryOffset) {
    const std::vector<std::string> inputs = RandomInputs();
    for (const CPath& path : Paths()) {
        for (const std::string& input : inputs) {
            for (std::size_t nStart = 0; nStart < 64; ++nStart) {
                const std::string_view bytes = std::string_view(input).substr(nStart);
                for (const bool bShowZero : {false, true}) {
                    ASSERT_TRUE(ConvertsLikeTheReference(path, bytes, bShowZero))
                        << "start " << nStart << ", show zero " << bShowZero;
                }
            }
        }
    }
}

// Every byte value, followed by continuation bytes (a sequence when it leads one), at every
// place of the first chunk and across its end, on text, binary and UTF-8 backgrounds; and
// every length around the first chunks, where the conversion leaves the rest to its caller.
TEST(Utf8ChunksTest, EveryPathHandlesEveryByteAtEveryPlaceAndEveryLength) {
    std::string binary(200, '\0');
    std::mt19937 rng(7);
    for (char& c : binary) {
        c = static_cast<char>(rng());
    }
    std::string utf8;
    while (utf8.size() < 200) {
        utf8 += "K\xC3\xB6ln \xE2\x82\xAC ";
    }
    const std::string backgrounds[] = {std::string(200, 'a'), binary, utf8.substr(0, 200)};
    for (const CPath& path : Paths()) {
        for (const std::string& background : backgrounds) {
            for (unsigned b = 0; b < 256; ++b) {
                for (std::size_t nAt = 0; nAt < 70; ++nAt) {
                    std::string bytes = background.substr(0, 140);
                    bytes[nAt] = static_cast<char>(b);
                    bytes.replace(nAt + 1, 3, "\x9F\xBF\x80");
                    for (const bool bShowZero : {false, true}) {
                        ASSERT_TRUE(ConvertsLikeTheReference(path, bytes, bShowZero))
                            << std::hex << "byte " << b << std::dec << " at " << nAt;
                    }
                }
            }
            for (std::size_t n = 0; n <= 200; ++n) {
                for (const bool bShowZero : {false, true}) {
                    ASSERT_TRUE(ConvertsLikeTheReference(
                        path, std::string_view(background).substr(0, n), bShowZero))
                        << "length " << n;
                }
            }
        }
    }
}

// Where the processor has them, the wide paths run and give exactly what the 16-byte path
// gives, text and length, on a large input of binary, text and UTF-8 stretches.
TEST(Utf8ChunksTest, WidePathsGiveWhatTheNarrowOneGives) {
    const std::vector<CPath> paths = Paths();
    if (paths.size() == 1) {
        GTEST_SKIP() << "this processor has neither AVX2 nor AVX-512: only the 16-byte path runs";
    }
    std::mt19937 rng(3);
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t nKind = (i / 300) % 3;
        bytes[i] = nKind == 0   ? static_cast<char>(rng())
                   : nKind == 1 ? static_cast<char>('a' + rng() % 26)
                                : "\xC3\xA9\xE2\x82\xAC"[i % 5];
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (const bool bShowZero : {false, true}) {
        std::string narrow(3 * bytes.size(), '\0');
        std::size_t nNarrow = 0;
        const std::size_t nDoneNarrow = win::AnsiToUtf8ChunksSse2(
            p, bytes.size(), Table(bShowZero).entries, bShowZero, narrow.data(), nNarrow);
        EXPECT_GT(nNarrow, bytes.size());  // the binary stretches grew
        for (std::size_t k = 1; k < paths.size(); ++k) {
            std::string wide(3 * bytes.size(), '\0');
            std::size_t nWide = 0;
            const std::size_t nDoneWide = paths[k].fn(p, bytes.size(), Table(bShowZero).entries,
                                                      bShowZero, wide.data(), nWide);
            ASSERT_EQ(nDoneNarrow, nDoneWide) << paths[k].pszName;
            ASSERT_EQ(nNarrow, nWide) << paths[k].pszName;
            EXPECT_EQ(narrow.substr(0, nNarrow), wide.substr(0, nWide)) << paths[k].pszName;
        }
    }
}

// The measure of the text (its length and line breaks) in each of its ways gives what the
// 16-byte conversion makes of the same bytes: the same bytes consumed, the text's length,
// and each CR or LF byte paired with its place in the text.
TEST(Utf8ChunksTest, EveryMeasureMatchesTheConversion) {
    using MeasureFn = std::size_t (*)(const unsigned char*, std::size_t, const win::ByteTextTable&,
                                      bool, win::BreakFn, void*, std::size_t&);
    struct CMeasure {
        const char* pszName;
        MeasureFn fn;
    };
    std::vector<CMeasure> measures = {{"sse2", &win::MeasureAnsiToUtf8ChunksSse2}};
    if (win::Avx512ChunksSupported()) {
        measures.push_back({"avx-512", &win::MeasureAnsiToUtf8ChunksAvx512});
    }
    using Breaks = std::vector<std::pair<std::size_t, std::size_t>>;
    const auto onBreak = [](void* pContext, std::size_t nRaw, std::size_t nText) {
        static_cast<Breaks*>(pContext)->emplace_back(nRaw, nText);
    };
    std::vector<std::string> inputs = RandomInputs();
    std::string lines;  // text with many breaks, binary between them
    std::mt19937 rng(13);
    while (lines.size() < 400) {
        lines += rng() % 3 == 0 ? "\r\n" : rng() % 2 ? "\x85\n" : "x\r\xC3\xA9";
        lines.push_back(static_cast<char>(rng()));
    }
    inputs.push_back(lines);
    for (const std::string& input : inputs) {
        for (std::size_t nStart = 0; nStart < 64; ++nStart) {
            const std::string_view bytes = std::string_view(input).substr(nStart);
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
            for (const bool bShowZero : {false, true}) {
                std::string text(3 * bytes.size(), '\0');
                std::size_t nWritten = 0;
                const std::size_t nDone = win::AnsiToUtf8ChunksSse2(
                    p, bytes.size(), Table(bShowZero).entries, bShowZero, text.data(), nWritten);
                Breaks want;
                std::size_t nText = 0;
                for (std::size_t i = 0; i < nDone; ++i) {
                    if (bytes[i] == '\r' || bytes[i] == '\n') {
                        while (text[nText] != bytes[i]) {
                            ++nText;
                        }
                        want.emplace_back(i, nText++);
                    }
                }
                for (const CMeasure& measure : measures) {
                    Breaks got;
                    std::size_t nLength = 0;
                    const std::size_t nMeasured =
                        measure.fn(p, bytes.size(), Table(bShowZero).entries, bShowZero, onBreak,
                                   &got, nLength);
                    ASSERT_EQ(nMeasured, nDone) << measure.pszName << ", start " << nStart;
                    ASSERT_EQ(nLength, nWritten) << measure.pszName << ", start " << nStart;
                    ASSERT_EQ(got, want) << measure.pszName << ", start " << nStart;
                    std::size_t nAlone = 0;  // without breaks to report, the same length
                    measure.fn(p, bytes.size(), Table(bShowZero).entries, bShowZero, nullptr,
                               nullptr, nAlone);
                    ASSERT_EQ(nAlone, nWritten) << measure.pszName << ", start " << nStart;
                }
            }
        }
    }
}

}  // namespace
