// The traffic log kept two ways on the same traffic: the blocks' text spooled as it is
// beside their bytes in the records (how the log kept them before), and the blocks kept
// once as bytes with their text made when read. For each: the relay's append rate, the
// spool per relayed byte, memory, the reads of one screen at random places, a plain-text
// Find over the whole log and a Save (flushed), whose file must be the same byte for byte.
// 256 MiB of relayed blocks by default; TAPVANE_RAWLOG_BENCH_MIB sets another size.
// Mixed traffic: HTTP text and random bytes by turns, 16 KiB blocks; binary: random bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "logdoc/LogDocument.h"
#include "logdoc/LogSearch.h"
#include "module/Messages.h"
#include "platform/TextConv.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Seconds of CPU this thread has used: a figure that other processes on a busy machine
// change less than the time on the clock.
double ThreadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::uint64_t RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtoull(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

std::vector<std::string> Blocks(bool bBinary) {
    std::vector<std::string> blocks;
    std::mt19937 random(3);
    for (int i = 0; i < 32; ++i) {
        std::string block;
        if (i % 2 == 0 && !bBinary) {
            while (block.size() < 16384) {
                block += "GET /images/item" + std::to_string(random() % 100000) +
                         ".png HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n";
            }
            block.resize(16384);
        } else {
            for (int k = 0; k < 16384; ++k) {
                block.push_back(static_cast<char>(random()));
            }
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

bool SameFiles(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20);
    std::vector<char> bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() ||
            std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0) {
            return false;
        }
        if (fa.gcount() == 0) {
            return true;
        }
    }
}

// The saved file of each kind of traffic kept as text, to compare the other with.
std::map<bool, std::string>& SavedAsText() {
    static std::map<bool, std::string> s_files;
    return s_files;
}

void BM_Log(benchmark::State& state) {
    const bool bBinary = state.range(0) != 0;
    const bool bRaw = state.range(1) != 0;
    const char* pszMiB = std::getenv("TAPVANE_RAWLOG_BENCH_MIB");
    const std::uint64_t nBytes =
        (pszMiB != nullptr ? std::strtoull(pszMiB, nullptr, 10) : 256) * kMiB;
    const std::vector<std::string> blocks = Blocks(bBinary);
    const std::string strFolder = std::filesystem::temp_directory_path().string();
    for (auto _ : state) {
        const std::uint64_t nRssBefore = RssKiB();
        CLogDocument doc(strFolder);
        std::string text;
        const auto start = Clock::now();
        std::uint64_t nSent = 0;
        for (std::size_t i = 0; nSent < nBytes; ++i) {
            const std::string& block = blocks[i % blocks.size()];
            CLogRecord record;
            record.kind = LogRecordKind::BlockBegin;
            record.nSessionId = i % 50 + 1;
            doc.OnLogRecord(record);
            doc.AppendUtf8("\r\n" + std::to_string(i % 50 + 1) + "---<---\r\n", LOG_STYLE_BOLD);
            if (bRaw) {
                doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
            } else {
                text.resize(3 * block.size());
                text.resize(win::AnsiToUtf8(block, text.data(), true));
                doc.AppendUtf8(text, LOG_STYLE_PLAIN);
            }
            record.kind = LogRecordKind::Block;
            record.bytes = block;
            doc.OnLogRecord(record);
            nSent += block.size();
        }
        const double dAppend = Seconds(start);
        state.counters["append_MB_per_s"] = static_cast<double>(nSent) / 1e6 / dAppend;
        state.counters["spool_per_relayed_byte"] =
            static_cast<double>(doc.GetSpoolSize()) / static_cast<double>(nSent);
        state.counters["text_per_relayed_byte"] =
            static_cast<double>(doc.GetSize()) / static_cast<double>(nSent);
        state.counters["doc_memory_MiB"] = static_cast<double>(doc.GetMemoryUse()) / kMiB;

        // One screen (60 lines and their text) at random places, as a repaint reads it.
        std::mt19937 random(1);
        double dWorst = 0;
        double dTotal = 0;
        constexpr int kScreens = 300;
        for (int k = 0; k < kScreens; ++k) {
            const auto at = Clock::now();
            std::uint64_t nRead = 0;
            for (const CLogLineSpan& span : doc.GetLines(random() % doc.GetLineCount(), 60)) {
                nRead +=
                    doc.ReadBytes(span.nStart, std::min<std::uint64_t>(span.nLength, 4096)).size();
            }
            benchmark::DoNotOptimize(nRead);
            const double d = Seconds(at);
            dWorst = std::max(dWorst, d);
            dTotal += d;
        }
        state.counters["screen_ms_mean"] = dTotal / kScreens * 1e3;
        state.counters["screen_ms_worst"] = dWorst * 1e3;

        // Find plain text that is not there, over the whole log, in the worker's steps.
        {
            CLogSearch search(doc, CFindOptions{"no such text here", false, false});
            const auto at = Clock::now();
            const double dCpu = ThreadCpuSeconds();
            std::uint64_t nPos = 0;
            CFindMatch match;
            while (search.FindNext(nPos, doc.GetSize(), 8 << 20, match, nPos) ==
                   EFindResult::More) {
            }
            state.counters["find_GB_per_s"] =
                static_cast<double>(doc.GetSize()) / 1e9 / Seconds(at);
            state.counters["find_cpu_GB_per_s"] =
                static_cast<double>(doc.GetSize()) / 1e9 / (ThreadCpuSeconds() - dCpu);
        }

        // Save, flushed to the disk; the same file whichever way the log keeps its blocks.
        const std::string strPath =
            strFolder + "/tapvane-rawlog-bench-" + std::to_string(bBinary) + std::to_string(bRaw);
        const auto at = Clock::now();
        const double dCpu = ThreadCpuSeconds();
        if (doc.SaveTo(win::AnsiToWide(strPath)) != 0) {
            state.SkipWithError("save failed");
            return;
        }
        state.counters["save_MB_per_s"] = static_cast<double>(doc.GetSize()) / 1e6 / Seconds(at);
        state.counters["save_cpu_MB_per_s"] =
            static_cast<double>(doc.GetSize()) / 1e6 / (ThreadCpuSeconds() - dCpu);
        state.counters["rss_growth_MiB"] =
            static_cast<double>(RssKiB() - std::min(nRssBefore, RssKiB())) / 1024;
        if (!bRaw) {
            SavedAsText()[bBinary] = strPath;
        } else {
            const auto it = SavedAsText().find(bBinary);
            state.counters["save_same_as_text_log"] =
                it != SavedAsText().end() && SameFiles(it->second, strPath) ? 1 : 0;
            std::remove(strPath.c_str());
            if (it != SavedAsText().end()) {
                std::remove(it->second.c_str());
            }
        }
    }
}

}  // namespace

// Arguments: binary traffic (0 mixed, 1 binary), blocks kept as bytes (0 as text, 1 bytes).
BENCHMARK(BM_Log)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Iterations(1)->Unit(
    benchmark::kSecond);

BENCHMARK_MAIN();
