#include "module/MainWindow.h"

#include "platform/TextConv.h"

void ILogSink::AppendLogBytes(std::string_view bytes, int nStyle) {
    AppendLog(win::BlockText(bytes), nStyle);
}
