#include "app/MainWindow.h"

#include "capture/SplitLines.h"

void ILogSink::AppendLogBytes(std::string_view bytes, int nStyle) {
    AppendLog(BlockText(bytes.data(), bytes.size()), nStyle);
}
