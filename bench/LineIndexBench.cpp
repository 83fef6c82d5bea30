// The line index of the log taking in text: the per-byte cost of finding breaks and the
// per-line cost of recording them, for HTTP-like text (a break every 20 bytes or so) and for
// binary data as the log shows it (a break every hundred bytes or so).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "logdoc/LineIndex.h"
#include "platform/TextConv.h"

namespace {

std::string Text(int nKind) {
    std::mt19937 random(3);
    std::string bytes;
    while (bytes.size() < 64 * 1024) {
        if (nKind == 0) {
            bytes += "GET /images/item" + std::to_string(random() % 100000) +
                     ".png HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n";
        } else {
            bytes.push_back(static_cast<char>(random()));
        }
    }
    bytes.resize(64 * 1024);
    if (nKind == 1) {
        std::string shown(3 * bytes.size(), '\0');
        shown.resize(win::AnsiToUtf8(bytes, shown.data(), true));
        bytes = shown;
    }
    return bytes;
}

void BM_LineIndexAppend(benchmark::State& state) {
    const std::string text = Text(static_cast<int>(state.range(0)));
    CLineIndex index;
    std::uint64_t nSize = 0;
    for (auto _ : state) {
        // 64 KiB pieces; the index starts over every 64 MiB to keep memory small.
        if (nSize >= (64u << 20)) {
            index.Clear();
            nSize = 0;
        }
        index.Append(nSize, text);
        nSize += text.size();
    }
    benchmark::DoNotOptimize(index.GetLineCount());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.SetLabel(state.range(0) == 0 ? "http text" : "binary as shown");
}
BENCHMARK(BM_LineIndexAppend)->DenseRange(0, 1);

}  // namespace

BENCHMARK_MAIN();
