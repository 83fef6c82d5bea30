#include "capture/CachedSetting.h"

#include "settings/RegKeyTalvex.h"

namespace {

constexpr auto kRefresh = std::chrono::milliseconds(100);

}  // namespace

bool CachedReplaceHostHeader() {
    static CCachedSetting s_setting([] { return CRegKeyTalvex().GetReplaceHostHeader(); },
                                    kRefresh);
    return s_setting.Get();
}

bool CachedSaveResponse() {
    static CCachedSetting s_setting([] { return CRegKeyTalvex().GetSaveResponse(); }, kRefresh);
    return s_setting.Get();
}
