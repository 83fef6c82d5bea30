// The session list's refresh with 100,000 sessions while a few of them change between
// refreshes, in the log's order and sorted by a column.
#include <benchmark/benchmark.h>

#include "logdoc/SessionListModel.h"

namespace {

void Refresh(benchmark::State& state, int nSortColumn) {
    CSessionTable table;
    constexpr std::uint64_t kSessions = 100000;
    CLogRecord record;
    for (std::uint64_t n = 1; n <= kSessions; ++n) {
        record.kind = LogRecordKind::SessionStart;
        record.nSessionId = n;
        record.nTimeUs = static_cast<std::int64_t>(n);
        table.Apply(record, 0, 0);
    }
    CSessionListModel list(table);
    list.Sort(nSortColumn, true);
    list.Refresh();
    const std::string block(1000, 'x');
    record.kind = LogRecordKind::Block;
    record.bytes = block;
    std::uint64_t nNext = 1;
    for (auto _ : state) {
        // A busy relay between two refreshes: 50 blocks of random sessions.
        for (int i = 0; i < 50; ++i) {
            nNext = nNext * 6364136223846793005ull + 1442695040888963407ull;
            record.nSessionId = 1 + (nNext >> 33) % kSessions;
            table.Apply(record, 0, 0);
        }
        benchmark::DoNotOptimize(list.Refresh());
    }
}

void BM_SessionListRefreshInLogOrder(benchmark::State& state) {
    Refresh(state, -1);
}
void BM_SessionListRefreshSortedByBytes(benchmark::State& state) {
    Refresh(state, CSessionListModel::ColBytesSent);
}

}  // namespace

BENCHMARK(BM_SessionListRefreshInLogOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionListRefreshSortedByBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
