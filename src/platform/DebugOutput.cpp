#include "platform/DebugOutput.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/TextConv.h"

namespace win {

namespace {

struct CDebugSink {
    std::mutex mutex;
    std::FILE* pFile = nullptr;  // guarded by mutex
    bool bOwnsFile = false;
};

CDebugSink& Sink() {
    static CDebugSink s_sink;
    return s_sink;
}

// 0: not read yet, 1: off, 2: on
std::atomic<int> g_nState{0};

void OpenTarget(std::string_view path) {
    CDebugSink& sink = Sink();
    std::lock_guard lock(sink.mutex);
    if (sink.bOwnsFile && sink.pFile != nullptr) {
        std::fclose(sink.pFile);
    }
    sink.pFile = nullptr;
    sink.bOwnsFile = false;
    if (path == "stderr" || path == "-") {
        sink.pFile = stderr;
    } else if (!path.empty()) {
        sink.pFile = std::fopen(std::string(path).c_str(), "ae");
        sink.bOwnsFile = sink.pFile != nullptr;
    }
    g_nState.store(sink.pFile != nullptr ? 2 : 1, std::memory_order_release);
}

void Write(std::string_view bytes) {
    CDebugSink& sink = Sink();
    std::lock_guard lock(sink.mutex);
    if (sink.pFile != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), sink.pFile);
        std::fflush(sink.pFile);
    }
}

}  // namespace

bool IsDebugOutputOn() {
    int n = g_nState.load(std::memory_order_acquire);
    if (n == 0) {
        static std::once_flag s_once;
        std::call_once(s_once, [] {
            const char* psz = std::getenv("TAPVANE_DEBUG_OUTPUT");
            OpenTarget(psz ? psz : "");
        });
        n = g_nState.load(std::memory_order_acquire);
    }
    return n == 2;
}

void SetDebugOutputTarget(std::string_view path) {
    IsDebugOutputOn();  // settle the first read so that it cannot override this choice
    OpenTarget(path);
}

void OutputDebugStringW(std::wstring_view text) {
    if (IsDebugOutputOn()) {
        Write(WideToAnsi(text));
    }
}

void OutputDebugStringA(std::string_view text) {
    if (IsDebugOutputOn()) {
        Write(text);
    }
}

}  // namespace win
