#include "capture/StoredNetConditions.h"

#include "capture/NetConditionsParser.h"
#include "platform/TextConv.h"
#include "settings/RegKeyTalvex.h"

namespace {

CNetConditions Of(const char* pszOptions) {
    std::string strError;
    return ParseNetConditionArgs(pszOptions, &strError).value_or(CNetConditions());
}

}  // namespace

const std::vector<CNetConditionsPreset>& NetConditionsPresets() {
    static const std::vector<CNetConditionsPreset> kPresets = {
        {"Mobile 3G", "150 ms round trip, 200 KB/s down, 96 KB/s up",
         Of("--latency 75:10 --bandwidth up:96 --bandwidth down:200")},
        {"Mobile EDGE", "400 ms round trip, 30 KB/s down, 15 KB/s up",
         Of("--latency 200:40 --bandwidth up:15 --bandwidth down:30")},
        {"Lossy Wi-Fi", "uneven delays, 2 MB/s, one connection in twenty reset",
         Of("--latency 15:15 --bandwidth 2000 --reset-share 5")},
        {"Satellite", "600 ms each way, 1 MB/s down, 100 KB/s up",
         Of("--latency 300:20 --bandwidth up:100 --bandwidth down:1000")},
        {"Split messages", "every block in pieces of 1 byte, 5 ms apart", Of("--slice 1:5")},
        {"Dropped downloads", "answers cut by a reset after 64 KiB",
         Of("--cut-after down:65536:reset")},
    };
    return kPresets;
}

const CNetConditionsPreset* FindNetConditionsPreset(const std::string& strName) {
    for (const CNetConditionsPreset& preset : NetConditionsPresets()) {
        if (preset.strName == strName) {
            return &preset;
        }
    }
    return nullptr;
}

CStoredNetConditions LoadNetConditions() {
    CRegKeyTalvex settings;
    CStoredNetConditions stored;
    stored.bOn = settings.GetNetConditionsOn();
    std::string strError;
    stored.conditions =
        ParseNetConditionArgs(win::WideToAnsi(settings.GetNetConditions()), &strError)
            .value_or(CNetConditions());
    stored.strPreset = win::WideToAnsi(settings.GetNetConditionsPreset());
    return stored;
}

void StoreNetConditions(const CStoredNetConditions& stored) {
    CRegKeyTalvex settings;
    settings.SetNetConditions(win::AnsiToWide(FormatNetConditionArgs(stored.conditions)).c_str());
    settings.SetNetConditionsPreset(win::AnsiToWide(stored.strPreset).c_str());
    settings.SetNetConditionsOn(stored.bOn);
}

CNetConditions ApplyStoredNetConditions() {
    const CStoredNetConditions stored = LoadNetConditions();
    const CNetConditions active = stored.bOn ? stored.conditions : CNetConditions();
    SetActiveNetConditions(active);
    return active;
}
