// The traffic log under load: the log document with its view on screen (offscreen
// platform) against QPlainTextEdit fed the same appends, then scrolling, painting, saving
// and loading at 100 MB and 2 GB. Appends come from a relay thread, as in the program; the
// GUI thread runs its event loop meanwhile (QPlainTextEdit gets each append by a blocking
// call into the GUI thread, as a sent message would).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "platform/TextConv.h"
#include "ui/LogView.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::uint64_t RssKiB(const char* pszField) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(pszField, 0) == 0) {
            return std::strtoull(line.c_str() + std::strlen(pszField), nullptr, 10);
        }
    }
    return 0;
}

// Milliseconds of CPU this thread has used.
double ThreadCpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Blocks of 16 KiB: HTTP-like text and binary data by turns.
const std::vector<std::string>& Blocks() {
    static const std::vector<std::string> s_blocks = [] {
        std::vector<std::string> blocks;
        std::mt19937 random(3);
        for (int i = 0; i < 32; ++i) {
            std::string block;
            if (i % 2 == 0) {
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
            blocks.push_back(block);
        }
        return blocks;
    }();
    return s_blocks;
}

// Runs `fnAppend(marker, block)` for `nBytes` of blocks on a relay thread while the GUI
// thread runs its events; returns the seconds taken.
template <class F>
double FeedFromRelayThread(std::uint64_t nBytes, F fnAppend) {
    std::atomic<bool> bDone{false};
    QElapsedTimer timer;
    timer.start();
    std::thread relay([&] {
        std::uint64_t nSent = 0;
        for (std::size_t i = 0; nSent < nBytes; ++i) {
            const std::string& block = Blocks()[i % Blocks().size()];
            fnAppend(L"\r\n" + std::to_wstring(i % 8) + L"---<---\r\n", block);
            nSent += block.size();
        }
        bDone = true;
    });
    while (!bDone) {
        // Sleeps until an event (the view's timer) instead of spinning beside the relay.
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    relay.join();
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

std::string SpoolFolder() {
    return std::filesystem::temp_directory_path().string();
}

void BM_AppendLogDocumentAndView(benchmark::State& state) {
    const std::uint64_t nBytes = static_cast<std::uint64_t>(state.range(0)) * kMiB;
    for (auto _ : state) {
        const std::uint64_t nRssBefore = RssKiB("VmRSS:");
        CLogDocument doc(SpoolFolder());
        CLogView view(doc);
        view.resize(1000, 700);
        view.show();
        const double dSeconds =
            FeedFromRelayThread(nBytes, [&](const std::wstring& marker, const std::string& block) {
                doc.AppendLog(marker, LOG_STYLE_BOLD);
                doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
            });
        state.SetIterationTime(dSeconds);
        state.counters["MB_per_s"] = static_cast<double>(nBytes) / kMiB / dSeconds;
        state.counters["rss_growth_MiB"] =
            static_cast<double>(RssKiB("VmRSS:") - std::min(nRssBefore, RssKiB("VmRSS:"))) / 1024;
        state.counters["index_MiB"] = static_cast<double>(doc.GetMemoryUse()) / kMiB;
        state.counters["log_MiB"] = static_cast<double>(doc.GetSize()) / kMiB;
    }
}

// The document alone, appended to on this thread: what the relay pays per byte.
void BM_AppendLogDocumentOnly(benchmark::State& state) {
    const std::uint64_t nBytes = static_cast<std::uint64_t>(state.range(0)) * kMiB;
    for (auto _ : state) {
        CLogDocument doc(SpoolFolder());
        QElapsedTimer timer;
        timer.start();
        std::uint64_t nSent = 0;
        for (std::size_t i = 0; nSent < nBytes; ++i) {
            const std::string& block = Blocks()[i % Blocks().size()];
            doc.AppendLog(L"\r\n0---<---\r\n", LOG_STYLE_BOLD);
            doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
            nSent += block.size();
        }
        const double dSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(dSeconds);
        state.counters["MB_per_s"] = static_cast<double>(nBytes) / kMiB / dSeconds;
    }
}

void BM_AppendQPlainTextEdit(benchmark::State& state) {
    const std::uint64_t nBytes = static_cast<std::uint64_t>(state.range(0)) * kMiB;
    for (auto _ : state) {
        const std::uint64_t nRssBefore = RssKiB("VmRSS:");
        QPlainTextEdit edit;
        edit.setReadOnly(true);
        edit.resize(1000, 700);
        edit.show();
        QTextCharFormat bold;
        bold.setFontWeight(QFont::Bold);
        QTextCharFormat plain;
        plain.setFontWeight(QFont::Normal);
        const double dSeconds =
            FeedFromRelayThread(nBytes, [&](const std::wstring& marker, const std::string& block) {
                const QString strMarker = QString::fromStdWString(marker);
                const QString strBlock = QString::fromStdWString(win::BlockText(block));
                QMetaObject::invokeMethod(
                    &edit,
                    [&] {
                        QTextCursor cursor(edit.document());
                        cursor.movePosition(QTextCursor::End);
                        cursor.insertText(strMarker, bold);
                        cursor.insertText(strBlock, plain);
                        edit.setTextCursor(cursor);
                        edit.ensureCursorVisible();
                    },
                    Qt::BlockingQueuedConnection);
            });
        state.SetIterationTime(dSeconds);
        state.counters["MB_per_s"] = static_cast<double>(nBytes) / kMiB / dSeconds;
        state.counters["rss_growth_MiB"] =
            static_cast<double>(RssKiB("VmRSS:") - std::min(nRssBefore, RssKiB("VmRSS:"))) / 1024;

        // Scrolling to the middle and painting one screen of the same text.
        QElapsedTimer timer;
        timer.start();
        edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum() / 2);
        edit.viewport()->repaint();
        state.counters["scroll_paint_ms"] = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    }
}

// Loading a saved log of the given size, the document alone: what a load costs apart from
// the view. The file is made once; each repetition loads it anew.
void BM_LoadDocumentOnly(benchmark::State& state) {
    const std::uint64_t nBytes = static_cast<std::uint64_t>(state.range(0)) * kMiB;
    const std::string strFile = SpoolFolder() + "/tapvane-bench-load.txt";
    CLogDocument doc(SpoolFolder());
    for (std::uint64_t nSent = 0, i = 0; nSent < nBytes; ++i) {
        const std::string& block = Blocks()[i % Blocks().size()];
        doc.AppendLog(L"\r\n0--->---\r\n", LOG_STYLE_BOLD);
        doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
        nSent += block.size();
    }
    if (doc.SaveTo(std::filesystem::path(strFile).wstring()) != 0) {
        state.SkipWithError("save failed");
        return;
    }
    const std::uint64_t nFileSize = std::filesystem::file_size(strFile);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        if (doc.LoadFrom(std::filesystem::path(strFile).wstring()) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        const double dSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(dSeconds);
        state.counters["load_MB_per_s"] = static_cast<double>(nFileSize) / kMiB / dSeconds;
    }
    std::filesystem::remove(strFile);
}

// What completing a screen cost after its first paint: the paints, the longest of them,
// and the longest look-up of new characters' fonts between them (ms).
struct CFinish {
    int nPaints = 0;
    double dWorstPaint = 0;
    double dWorstPaintCpu = 0;  // the GUI thread's own time of the longest
    double dWorstLookUp = 0;
};

// Looks up the characters the view left out and paints again until none is left, as the
// view's own queued look-ups do.
CFinish FinishPaints(CLogView& view) {
    CFinish finish;
    QElapsedTimer timer;
    while (view.glyphsPending() && finish.nPaints < 1000) {
        timer.restart();
        view.lookUpPendingGlyphs();
        finish.dWorstLookUp =
            std::max(finish.dWorstLookUp, static_cast<double>(timer.nsecsElapsed()) / 1e6);
        const double dCpuBefore = ThreadCpuMs();
        timer.restart();
        view.viewport()->repaint();
        finish.dWorstPaint =
            std::max(finish.dWorstPaint, static_cast<double>(timer.nsecsElapsed()) / 1e6);
        finish.dWorstPaintCpu = std::max(finish.dWorstPaintCpu, ThreadCpuMs() - dCpuBefore);
        ++finish.nPaints;
    }
    return finish;
}

// A log of the given size, then: scroll to the middle and paint, paint one screen again,
// save, load.
void BM_LargeLogScrollPaintSaveLoad(benchmark::State& state) {
    const std::uint64_t nBytes = static_cast<std::uint64_t>(state.range(0)) * kMiB;
    const std::string strFile = SpoolFolder() + "/tapvane-bench-log.txt";
    for (auto _ : state) {
        CLogDocument doc(SpoolFolder());
        CLogView view(doc);
        view.setFollow(false);
        view.resize(1000, 700);
        view.show();
        std::uint64_t nSent = 0;
        for (std::size_t i = 0; nSent < nBytes; ++i) {
            const std::string& block = Blocks()[i % Blocks().size()];
            doc.AppendLog(L"\r\n0--->---\r\n", LOG_STYLE_BOLD);
            doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
            nSent += block.size();
        }
        view.refresh();
        QApplication::processEvents();
        state.counters["log_MiB"] = static_cast<double>(doc.GetSize()) / kMiB;
        state.counters["lines_M"] = static_cast<double>(doc.GetLineCount()) / 1e6;
        state.counters["index_MiB"] = static_cast<double>(doc.GetMemoryUse()) / kMiB;
        state.counters["rss_MiB"] = static_cast<double>(RssKiB("VmRSS:")) / 1024;

        QElapsedTimer timer;
        timer.start();
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() / 2);
        view.viewport()->repaint();
        state.counters["scroll_middle_ms"] = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        const CFinish middle = FinishPaints(view);
        state.counters["scroll_middle_more_paints"] = middle.nPaints;
        state.counters["scroll_middle_more_paint_worst_ms"] = middle.dWorstPaint;
        state.counters["scroll_middle_lookup_worst_ms"] = middle.dWorstLookUp;
        timer.restart();
        view.viewport()->repaint();
        state.counters["paint_screen_ms"] = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        timer.restart();
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
        view.viewport()->repaint();
        state.counters["scroll_end_ms"] = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        // Scrolls to random places, each painted: the worst and the mean.
        std::mt19937 random(7);
        double dWorst = 0;
        double dWorstLater = 0;  // after the first ten, which meet new glyphs
        double dTotal = 0;
        constexpr int kScrolls = 200;
        double dWorstCpu = 0;  // the GUI thread's own time: what other processes do not add
        int nMorePaints = 0;
        double dWorstLookUp = 0;  // between paints: loading the font of a new script
        for (int k = 0; k < kScrolls; ++k) {
            const double dCpuBefore = ThreadCpuMs();
            timer.restart();
            view.verticalScrollBar()->setValue(static_cast<int>(
                random() % static_cast<unsigned>(view.verticalScrollBar()->maximum() + 1)));
            view.viewport()->repaint();
            double d = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            dWorstCpu = std::max(dWorstCpu, ThreadCpuMs() - dCpuBefore);
            // The paints that complete the screen count as repaints of their own.
            const CFinish more = FinishPaints(view);
            nMorePaints += more.nPaints;
            dWorstLookUp = std::max(dWorstLookUp, more.dWorstLookUp);
            dWorstCpu = std::max(dWorstCpu, more.dWorstPaintCpu);
            d = std::max(d, more.dWorstPaint);
            dWorst = std::max(dWorst, d);
            dWorstLater = k >= 10 ? std::max(dWorstLater, d) : dWorstLater;
            dTotal += d;
        }
        state.counters["scroll_random_ms_mean"] = dTotal / kScrolls;
        state.counters["scroll_random_more_paints"] = nMorePaints;
        state.counters["scroll_random_lookup_worst_ms"] = dWorstLookUp;
        state.counters["scroll_random_ms_worst_after_10"] = dWorstLater;
        state.counters["scroll_random_cpu_ms_worst"] = dWorstCpu;
        state.counters["scroll_random_ms_worst"] = dWorst;
        state.counters["rss_after_scrolls_MiB"] = static_cast<double>(RssKiB("VmRSS:")) / 1024;

        timer.restart();
        if (doc.SaveTo(std::filesystem::path(strFile).wstring()) != 0) {
            state.SkipWithError("save failed");
            break;
        }
        const double dSave = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        state.counters["save_MB_per_s"] = static_cast<double>(doc.GetSize()) / kMiB / dSave;
        const std::uint64_t nFileSize = std::filesystem::file_size(strFile);
        timer.restart();
        if (doc.LoadFrom(std::filesystem::path(strFile).wstring()) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        const double dLoad = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        state.counters["load_MB_per_s"] = static_cast<double>(nFileSize) / kMiB / dLoad;
        state.counters["peak_rss_MiB"] = static_cast<double>(RssKiB("VmHWM:")) / 1024;
        state.SetIterationTime(dSave + dLoad);
        std::filesystem::remove(strFile);
    }
}

}  // namespace

BENCHMARK(BM_AppendLogDocumentAndView)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendLogDocumentOnly)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendQPlainTextEdit)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadDocumentOnly)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeLogScrollPaintSaveLoad)
    ->Arg(100)
    ->Arg(2048)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
