#include "module/MainWindow.h"

#include "platform/TextConv.h"

void ILogSink::AppendLogBytes(std::string_view bytes, int nStyle) {
    AppendLog(win::BlockText(bytes), nStyle);
}

LRESULT AppendLogMessage(ILogSink& sink, WPARAM wParam, LPARAM lParam) {
    const auto& log = *reinterpret_cast<const CLogText*>(wParam);
    if (log.bBytes) {
        sink.AppendLogBytes(log.bytes, static_cast<int>(lParam));
    } else {
        sink.AppendLog(log.text, static_cast<int>(lParam));
    }
    return 1;
}
