// The conversion of relayed bytes to the log's UTF-8 text, per kind of payload: the cost
// every logged byte pays when its text is made; and the measure of that text (its length
// and line breaks) without making it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "platform/TextConv.h"
#include "platform/Utf8Chunks.h"

namespace {

std::string Payload(int nKind) {
    std::mt19937 random(5);
    std::string bytes;
    while (bytes.size() < 64 * 1024) {
        switch (nKind) {
            case 0:  // HTTP-like text
                bytes += "GET /images/item" + std::to_string(random() % 100000) +
                         ".png HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n";
                break;
            case 1:  // compressed or encrypted data: every byte value alike
                bytes.push_back(static_cast<char>(random()));
                break;
            case 3:  // binary data as the log shows it, as a saved log holds it
                bytes.push_back(static_cast<char>(random()));
                break;
            default:  // text in a language with accented letters, valid UTF-8
                bytes +=
                    "Gr\xC3\xBC\xC3\x9F"
                    "e aus K\xC3\xB6ln, caf\xC3\xA9 \xE2\x82\xAC 5 ";
                break;
        }
    }
    if (nKind == 3) {
        std::string shown(3 * bytes.size(), '\0');
        shown.resize(win::AnsiToUtf8(bytes, shown.data(), true));
        bytes = shown;
    }
    bytes.resize(64 * 1024);
    return bytes;
}

void BM_AnsiToUtf8(benchmark::State& state) {
    const std::string bytes = Payload(static_cast<int>(state.range(0)));
    std::string out(3 * bytes.size(), '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(win::AnsiToUtf8(bytes, out.data(), true));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    static const char* const kLabels[] = {"http text", "binary", "utf-8", "binary as shown"};
    state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_AnsiToUtf8)->DenseRange(0, 3);

// The ways of the bulk conversion side by side, on the same bytes in one run: 16 bytes at
// a time with a table store per byte, 32 at a time with AVX2 and 64 with AVX-512 (where the
// processor has them; AnsiToUtf8 takes the widest).
void BM_AnsiToUtf8Chunks(benchmark::State& state) {
    const int nPath = static_cast<int>(state.range(1));
    if ((nPath == 1 && !win::Avx2ChunksSupported()) ||
        (nPath == 2 && !win::Avx512ChunksSupported()) ||
        (nPath == 3 && !win::Avx512CompressChunksSupported())) {
        state.SkipWithError("this processor lacks the instructions");
        return;
    }
    // The table as the conversion's own: each byte's text, and each byte kept inside a
    // sequence.
    static win::ByteTextTable entries{};
    static const bool bFilled = [] {
        for (unsigned b = 0; b < 256; ++b) {
            char text[3];
            const std::size_t n = win::AnsiToUtf8(std::string(1, static_cast<char>(b)), text, true);
            std::uint32_t e = static_cast<std::uint32_t>(n) << 24;
            for (std::size_t k = 0; k < n; ++k) {
                e |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[k])) << (8 * k);
            }
            entries[b] = e;
            entries[256 + b] = b | 1u << 24;
        }
        return true;
    }();
    benchmark::DoNotOptimize(bFilled);
    const std::string bytes = Payload(static_cast<int>(state.range(0)));
    std::string out(3 * bytes.size(), '\0');
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto fn = nPath == 0   ? &win::AnsiToUtf8ChunksSse2
                    : nPath == 1 ? &win::AnsiToUtf8ChunksAvx2
                    : nPath == 2 ? &win::AnsiToUtf8ChunksAvx512
                                 : &win::AnsiToUtf8ChunksAvx512Compress;
    for (auto _ : state) {
        std::size_t nWritten = 0;
        benchmark::DoNotOptimize(fn(p, bytes.size(), entries, true, out.data(), nWritten));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    static const char* const kLabels[] = {"http text", "binary", "utf-8", "binary as shown"};
    static const char* const kPaths[] = {", sse2", ", avx2", ", avx-512", ", avx-512 compress"};
    state.SetLabel(std::string(kLabels[state.range(0)]) + kPaths[nPath]);
}
BENCHMARK(BM_AnsiToUtf8Chunks)->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2, 3}});

// What the window's log pays per appended block instead: the text's length and the place
// of every line break in it, counted from the bytes without making the text.
void BM_MeasureAnsiAsUtf8(benchmark::State& state) {
    const std::string bytes = Payload(static_cast<int>(state.range(0)));
    std::size_t nBreaks = 0;
    auto onBreak = [&nBreaks](std::size_t, std::size_t nText) { nBreaks += nText; };
    for (auto _ : state) {
        benchmark::DoNotOptimize(win::MeasureAnsiAsUtf8(bytes, true, onBreak));
    }
    benchmark::DoNotOptimize(nBreaks);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    static const char* const kLabels[] = {"http text", "binary", "utf-8", "binary as shown"};
    state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_MeasureAnsiAsUtf8)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
