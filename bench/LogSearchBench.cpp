// Find in the traffic log: the speed of plain and pattern searches over a large spooled
// log (2 GiB of relayed blocks by default; TAPVANE_FIND_BENCH_MIB sets another size), HTTP
// text and binary data by turns, each under a bold marker line, as the relay writes them.
// Each iteration searches the whole log (patterns: its first 256 MiB) in the steps the
// window's worker takes; the figure is bytes of log per second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logdoc/LogDocument.h"
#include "logdoc/LogSearch.h"
#include "module/Messages.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kPatternRange = 256 * kMiB;

CLogDocument& Log() {
    static const std::unique_ptr<CLogDocument> s_pDoc = [] {
        auto pDoc = std::make_unique<CLogDocument>();
        const char* pszMiB = std::getenv("TAPVANE_FIND_BENCH_MIB");
        const std::uint64_t nTarget =
            (pszMiB != nullptr ? std::strtoull(pszMiB, nullptr, 10) : 2048) * kMiB;
        std::mt19937 random(5);
        std::vector<std::string> blocks;
        for (int i = 0; i < 32; ++i) {
            std::string block;
            if (i % 2 == 0) {
                while (block.size() < 16384) {
                    block += "GET /images/item" + std::to_string(random() % 100000) +
                             ".png HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n"
                             "User-Agent: curl/7.88.1\r\n\r\n";
                }
            } else {
                for (int k = 0; k < 16384; ++k) {
                    block.push_back(static_cast<char>(random()));
                }
            }
            blocks.push_back(std::move(block));
        }
        for (std::uint64_t i = 0; pDoc->GetSize() < nTarget; ++i) {
            pDoc->AppendUtf8(
                "\r\n" + std::to_string(i % 50 + 1) + (i % 2 ? "--->---" : "---<---") + "\r\n",
                LOG_STYLE_BOLD);
            pDoc->AppendLogBytes(blocks[i % blocks.size()], LOG_STYLE_PLAIN);
        }
        return pDoc;
    }();
    return *s_pDoc;
}

// Finds (or counts) over [0, nTo) in worker-sized steps.
void Search(benchmark::State& state, const CFindOptions& options, bool bCount, std::uint64_t nTo) {
    CLogDocument& doc = Log();
    nTo = std::min(nTo, doc.GetSize());
    std::uint64_t nFound = 0;
    for (auto _ : state) {
        CLogSearch search(doc, options);
        const std::uint64_t nStep = options.bRegex ? 256 << 10 : 8 << 20;
        std::uint64_t nPos = 0;
        if (bCount) {
            std::uint64_t nCount = 0;
            while (search.Count(nPos, nTo, nStep, nCount, nPos) == EFindResult::More) {
            }
            nFound = nCount;
        } else {
            CFindMatch match;
            EFindResult result;
            while ((result = search.FindNext(nPos, nTo, nStep, match, nPos)) == EFindResult::More) {
            }
            nFound = result == EFindResult::Found ? 1 : 0;
        }
        benchmark::DoNotOptimize(nFound);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * nTo));
    state.counters["log_MiB"] = static_cast<double>(nTo) / kMiB;
    state.counters["found"] = static_cast<double>(nFound);
}

void BM_FindPlainAbsent(benchmark::State& state) {
    Search(state, {"X-Not-There: 1", true, false}, false, UINT64_MAX);
}
void BM_FindPlainAbsentNoCase(benchmark::State& state) {
    Search(state, {"x-not-there: 1", false, false}, false, UINT64_MAX);
}
void BM_CountPlainFrequent(benchmark::State& state) {
    Search(state, {"User-Agent: curl", true, false}, true, UINT64_MAX);
}
void BM_CountPlainFrequentNoCase(benchmark::State& state) {
    Search(state, {"user-agent: CURL", false, false}, true, UINT64_MAX);
}
void BM_FindPatternAbsentWithLiteral(benchmark::State& state) {
    Search(state, {"^POST /(upload|api)/.* HTTP", true, true}, false, kPatternRange);
}
void BM_CountPatternFrequent(benchmark::State& state) {
    Search(state, {"^GET /images/item[0-9]*7\\.png", true, true}, true, kPatternRange);
}
void BM_FindPatternAbsentNoCase(benchmark::State& state) {
    Search(state, {"host: [a-z]+\\.org", false, true}, false, kPatternRange);
}

}  // namespace

BENCHMARK(BM_FindPlainAbsent)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FindPlainAbsentNoCase)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CountPlainFrequent)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CountPlainFrequentNoCase)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FindPatternAbsentWithLiteral)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_CountPatternFrequent)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_FindPatternAbsentNoCase)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

BENCHMARK_MAIN();
