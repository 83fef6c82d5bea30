#include "support/Trace.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/DebugOutput.h"
#include "platform/Kernel.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kOutputStringMax = 1024;  // szOutputString, in units

// Once a front end flushes the stream itself (SetTraceFlushedByCaller), a stream that is
// not a terminal is flushed at most this often by the lines themselves: a file or a journal
// gets the lines in blocks instead of a write each, which a window tracing a few lines per
// connection paid for on its own thread.
constexpr std::chrono::milliseconds kFileFlushInterval{100};

std::atomic<std::FILE*> g_pTraceOutput{nullptr};  // null: the standard output
std::atomic<bool> g_bTraceStreamOn{true};
std::atomic<bool> g_bFlushedByCaller{false};
// Whether the stream is a terminal: 1 yes, 0 no, -1 not known yet.
std::atomic<int> g_nInteractive{-1};
std::atomic<std::int64_t> g_nLastFlushMs{0};  // steady clock, milliseconds

std::FILE* TraceStream() {
    std::FILE* pOut = g_pTraceOutput.load();
    return pOut != nullptr ? pOut : stdout;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WriteLine(const std::wstring& line) {
    if (g_bTraceStreamOn.load()) {
        const std::string bytes = win::WideToAnsi(line);
        std::FILE* pOut = TraceStream();
        std::fwrite(bytes.data(), 1, bytes.size(), pOut);
        int nInteractive = g_nInteractive.load();
        if (nInteractive < 0) {
            nInteractive = ::isatty(::fileno(pOut)) ? 1 : 0;
            g_nInteractive = nInteractive;
        }
        const std::int64_t nNow = NowMs();
        if (nInteractive == 1 || !g_bFlushedByCaller.load() ||
            nNow - g_nLastFlushMs.load() >= kFileFlushInterval.count()) {
            std::fflush(pOut);
            g_nLastFlushMs = nNow;
        }
    }
    win::OutputDebugStringW(line);
}

}  // namespace

void SetTraceOutput(std::FILE* pOut) {
    FlushTrace();
    g_pTraceOutput = pOut;
    g_nInteractive = -1;
}

void SetTraceFlushedByCaller(bool bOn) {
    g_bFlushedByCaller = bOn;
    if (!bOn) {
        FlushTrace();
    }
}

void FlushTrace() {
    if (g_bTraceStreamOn.load()) {
        std::fflush(TraceStream());
        g_nLastFlushMs = NowMs();
    }
}

void SetTraceStreamOn(bool bOn) {
    g_bTraceStreamOn = bOn;
}

bool IsTraceWanted() {
    return g_bTraceStreamOn.load() || win::IsDebugOutputOn();
}

void TraceV(std::wstring_view fmt, std::span<const win::CFormatArg> args) {
    if (!IsTraceWanted()) {
        return;  // nobody reads it: not even formatted
    }
    win::SYSTEMTIME st{};
    win::GetLocalTime(&st);

    std::wstring line;
    HRESULT hr = win::FormatBounded(line, kOutputStringMax,
                                    L"%02d.%02d.%04d %02d:%02d:%02d.%03d:\n", st.wMonth, st.wDay,
                                    st.wYear, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    if (hr != 0) {
        Trace(L"StringCchPrintf failed, hr = 0x%x for szOutputString", hr);
        return;
    }

    // The message gets the room that is left, terminator included; a message that does not
    // fit is not written at all.
    std::wstring message;
    hr = win::FormatBoundedV(message, kOutputStringMax - 1 - line.size(), fmt, args);
    if (hr != 0) {
        Trace(L"StringCchVPrintf failed, hr = 0x%x for szOutputString", hr);
        return;
    }
    line += message;

    line.erase(std::remove_if(line.begin(), line.end(),
                              [](wchar_t c) { return c == L'\r' || c == L'\n'; }),
               line.end());
    line += L"\r\n";
    WriteLine(line);
}
