// The cost of the block records on the log's append path, which the relay runs under the
// module lock for every block: marker line and block text with and without their records.
#include <benchmark/benchmark.h>

#include "../tests/SocketTestSupport.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

void AppendBlocks(benchmark::State& state, bool bRecords) {
    CLogDocument doc;
    const std::string block = test::Pattern(static_cast<std::size_t>(state.range(0)));
    CLogRecord begin;
    begin.kind = LogRecordKind::BlockBegin;
    begin.nSessionId = 1;
    CLogRecord record;
    record.kind = LogRecordKind::Block;
    record.nSessionId = 1;
    record.bytes = block;
    std::size_t nBytes = 0;
    for (auto _ : state) {
        if (bRecords) {
            doc.OnLogRecord(begin);
        }
        doc.AppendLog(L"\r\n1---<---", LOG_STYLE_BOLD);
        doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
        if (bRecords) {
            record.nTimeUs = LogRecordNow();
            doc.OnLogRecord(record);
        }
        nBytes += block.size();
        if (doc.GetSize() > (512u << 20)) {
            state.PauseTiming();
            doc.Clear();  // keeps the spools' files small on the benchmark's disk
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(nBytes));
}

void BM_LogBlockWithoutRecords(benchmark::State& state) {
    AppendBlocks(state, false);
}
void BM_LogBlockWithRecords(benchmark::State& state) {
    AppendBlocks(state, true);
}

}  // namespace

BENCHMARK(BM_LogBlockWithoutRecords)->Arg(512)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_LogBlockWithRecords)->Arg(512)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_MAIN();
