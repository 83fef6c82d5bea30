#include "support/Trace.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "platform/DebugOutput.h"
#include "platform/Kernel.h"
#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kOutputStringMax = 1024;  // szOutputString, in units

std::atomic<std::FILE*> g_pTraceOutput{nullptr};  // null: the standard output
std::atomic<bool> g_bTraceStreamOn{true};

void WriteLine(const std::wstring& line) {
    if (g_bTraceStreamOn.load()) {
        const std::string bytes = win::WideToAnsi(line);
        std::FILE* pOut = g_pTraceOutput.load();
        if (pOut == nullptr) {
            pOut = stdout;
        }
        std::fwrite(bytes.data(), 1, bytes.size(), pOut);
        std::fflush(pOut);
    }
    win::OutputDebugStringW(line);
}

}  // namespace

void SetTraceOutput(std::FILE* pOut) {
    g_pTraceOutput = pOut;
}

void SetTraceStreamOn(bool bOn) {
    g_bTraceStreamOn = bOn;
}

void TraceV(std::wstring_view fmt, std::span<const win::CFormatArg> args) {
    if (!g_bTraceStreamOn.load() && !win::IsDebugOutputOn()) {
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
