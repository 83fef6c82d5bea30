#include "module/MainWindow.h"

#include <chrono>

#include "platform/TextConv.h"

void ILogSink::AppendLogBytes(std::string_view bytes, int nStyle) {
    AppendLog(win::BlockText(bytes), nStyle);
}

void ILogSink::OnLogRecord(const CLogRecord& /*record*/) {}

std::int64_t LogRecordNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void ILogSink::AppendLogUtf8(std::string_view text, int nStyle) {
    AppendLog(win::AnsiToWide(text), nStyle);
}

LRESULT AppendLogMessage(ILogSink& sink, WPARAM wParam, LPARAM lParam) {
    const auto& log = *reinterpret_cast<const CLogText*>(wParam);
    if (log.pRecord != nullptr) {
        sink.OnLogRecord(*log.pRecord);
    } else if (log.bUtf8) {
        sink.AppendLogUtf8(log.bytes, static_cast<int>(lParam));
    } else if (log.bBytes) {
        sink.AppendLogBytes(log.bytes, static_cast<int>(lParam));
    } else {
        sink.AppendLog(log.text, static_cast<int>(lParam));
    }
    return 1;
}
