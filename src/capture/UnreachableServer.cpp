#include "capture/UnreachableServer.h"

#include <atomic>

#include "capture/CachedSetting.h"
#include "module/MyModule.h"
#include "settings/RegKeyTalvex.h"
#include "support/ShowMessage.h"

namespace {

std::atomic<bool> g_bKeepAlways{false};
// Set while a session shows the box; the others do not show theirs.
std::atomic<bool> g_bBoxOpen{false};

}  // namespace

void SetKeepListeningAlways(bool bAlways) {
    g_bKeepAlways = bAlways;
}

bool KeepListeningWhenUnreachable() {
    if (g_bKeepAlways) {
        return true;
    }
    static CCachedSetting s_setting([] { return CRegKeyTalvex().GetKeepListening(); },
                                    std::chrono::milliseconds(100));
    return s_setting.Get();
}

void ReportUnreachableServer(const std::wstring& strText) {
    if (KeepListeningWhenUnreachable()) {
        return;
    }
    // Stop, not toggle: two sessions that fail at once must not switch listening off and
    // on again.
    g_Module.StopListening();
    if (g_bBoxOpen.exchange(true)) {
        return;
    }
    struct CBoxClosed {
        ~CBoxClosed() { g_bBoxOpen = false; }
    } boxClosed;
    ShowMessage(strText, MB_ICONERROR, static_cast<HWND>(g_Module.GetMainWindow()));
}
