// The network conditions as the settings keep them, the named presets, and putting the
// stored ones in force.
#pragma once

#include <string>
#include <vector>

#include "capture/NetConditions.h"

struct CNetConditionsPreset {
    std::string strName;  // "Mobile 3G"
    std::string strNote;  // what it stands for, for a tooltip
    CNetConditions conditions;
};

// The built-in presets, in the order a list shows them.
const std::vector<CNetConditionsPreset>& NetConditionsPresets();
// The preset named `strName`; null when there is none.
const CNetConditionsPreset* FindNetConditionsPreset(const std::string& strName);

struct CStoredNetConditions {
    bool bOn = false;
    CNetConditions conditions;  // as stored, also while off
    std::string strPreset;
};

// Reads the settings; text that does not parse reads as no conditions. Raises as the
// settings do.
CStoredNetConditions LoadNetConditions();
void StoreNetConditions(const CStoredNetConditions& stored);

// Any thread. Reads the settings and puts their conditions in force for the sessions that
// start from now on (none when they are off). Returns what is in force.
CNetConditions ApplyStoredNetConditions();
