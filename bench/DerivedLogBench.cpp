// What View > Timestamps and View > Hex Dump cost on large logs: finding the times of one
// screen of lines among millions of blocks, and building the hex dump or one session's
// presentation from the records.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "../tests/SocketTestSupport.h"
#include "logdoc/BlockTimes.h"
#include "logdoc/DerivedLog.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

void AppendBlock(CLogDocument& doc, std::uint64_t nId, std::string_view bytes) {
    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    record.nSessionId = nId;
    doc.OnLogRecord(record);
    doc.AppendUtf8("\r\n" + std::to_string(nId) + "---<---", LOG_STYLE_BOLD);
    doc.AppendLogBytes(bytes, LOG_STYLE_PLAIN);
    record.kind = LogRecordKind::Block;
    record.bytes = bytes;
    record.nTimeUs = LogRecordNow();
    doc.OnLogRecord(record);
}

// A log of nBlocks blocks of nBytes each from 100 sessions, made once per shape.
CLogDocument& LogOf(std::size_t nBlocks, std::size_t nBytes) {
    static std::unique_ptr<CLogDocument> pDoc;
    static std::pair<std::size_t, std::size_t> shape;
    if (!pDoc || shape != std::pair{nBlocks, nBytes}) {
        pDoc.reset();
        pDoc = std::make_unique<CLogDocument>();
        shape = {nBlocks, nBytes};
        const std::string block = test::Pattern(nBytes);
        for (std::size_t n = 0; n < nBlocks; ++n) {
            AppendBlock(*pDoc, 1 + n % 100, block);
        }
    }
    return *pDoc;
}

// One screen (60 lines) of timestamps at a random place of a log of millions of blocks.
void BM_ScreenOfTimestamps(benchmark::State& state) {
    CLogDocument& doc = LogOf(static_cast<std::size_t>(state.range(0)), 40);
    std::mt19937_64 random(7);
    std::vector<std::int64_t> times;
    const std::uint64_t nLines = doc.GetLineCount();
    std::size_t nFound = 0;
    for (auto _ : state) {
        blocktimes::MarkerTimes(doc, random() % nLines, 60, times);
        for (std::int64_t t : times) {
            nFound += t != blocktimes::kNoTime ? 1 : 0;
        }
    }
    state.counters["blocks"] = static_cast<double>(doc.GetRecords().GetBlockCount());
    state.counters["times/screen"] =
        static_cast<double>(nFound) / static_cast<double>(state.iterations());
}

// The hex dump of every session built from scratch; bytes are the blocks' bytes.
void BM_HexDumpOfTheLog(benchmark::State& state) {
    const std::size_t nBytes = static_cast<std::size_t>(state.range(0));
    CLogDocument& doc = LogOf((64u << 20) / nBytes, nBytes);
    for (auto _ : state) {
        CDerivedLog hex(doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Hex);
        while (!hex.CatchUp()) {
        }
        benchmark::DoNotOptimize(hex.Document().GetSize());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (64 << 20));
}

// One session of a hundred, as text; bytes are the whole log's blocks passed over.
void BM_OneSessionOfTheLog(benchmark::State& state) {
    const std::size_t nBytes = static_cast<std::size_t>(state.range(0));
    CLogDocument& doc = LogOf((64u << 20) / nBytes, nBytes);
    for (auto _ : state) {
        CDerivedLog one(doc, 50, CDerivedLog::Format::Text);
        while (!one.CatchUp()) {
        }
        benchmark::DoNotOptimize(one.Document().GetSize());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (64 << 20));
}

}  // namespace

BENCHMARK(BM_ScreenOfTimestamps)->Arg(4'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HexDumpOfTheLog)->Arg(512)->Arg(16 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneSessionOfTheLog)->Arg(512)->Arg(16 << 10)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
