// Keeping the relayed bytes of the window's log: the raw spool as it is now (staging buffers
// written around the page cache on a thread of the spool's own) against writes through the
// cache as the relay thread made them before (a 1 MiB tail, then a write of it). The time is
// the process's CPU time per byte, both threads counted.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "../tests/SocketTestSupport.h"
#include "logdoc/RawSpool.h"
#include "logdoc/SpoolFile.h"

namespace {

// Enough to leave the processor's caches and the page cache's first free memory behind; the
// spool is emptied at this size so that the benchmark's disk stays small.
constexpr std::uint64_t kRound = 1ull << 30;

void BM_RawSpoolAroundTheCache(benchmark::State& state) {
    CRawSpool spool;
    if (spool.Open() != 0) {
        state.SkipWithError("no spool file");
        return;
    }
    const std::string block = test::Pattern(static_cast<std::size_t>(state.range(0)));
    std::uint64_t nBytes = 0;
    int nError = 0;
    for (auto _ : state) {
        if (spool.Store(block, nError) == UINT64_MAX) {
            state.SkipWithError("store failed");
            return;
        }
        nBytes += block.size();
        if (spool.Size() >= kRound) {
            spool.Clear();
        }
    }
    state.counters["direct"] = spool.IsDirect() ? 1 : 0;
    state.SetBytesProcessed(static_cast<int64_t>(nBytes));
}

void BM_SpoolThroughTheCache(benchmark::State& state) {
    CSpoolFile file;
    if (file.Open() != 0) {
        state.SkipWithError("no spool file");
        return;
    }
    constexpr std::size_t kTail = 1 << 20;
    const std::unique_ptr<char[]> pTail(new char[kTail]);
    std::size_t nTail = 0;
    std::uint64_t nWritten = 0;
    const std::string block = test::Pattern(static_cast<std::size_t>(state.range(0)));
    std::uint64_t nBytes = 0;
    for (auto _ : state) {
        if (nTail + block.size() > kTail) {
            if (file.WriteAt(nWritten, pTail.get(), nTail) != 0) {
                state.SkipWithError("write failed");
                return;
            }
            nWritten += nTail;
            nTail = 0;
        }
        std::memcpy(pTail.get() + nTail, block.data(), block.size());
        nTail += block.size();
        nBytes += block.size();
        if (nWritten >= kRound) {
            file.Truncate();
            nWritten = 0;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(nBytes));
}

}  // namespace

BENCHMARK(BM_RawSpoolAroundTheCache)
    ->Arg(64 << 10)
    ->Arg(256 << 10)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3);
BENCHMARK(BM_SpoolThroughTheCache)
    ->Arg(64 << 10)
    ->Arg(256 << 10)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(3);
BENCHMARK_MAIN();
