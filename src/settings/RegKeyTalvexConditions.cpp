// The network conditions of the application settings.
#include "settings/RegKeyTalvex.h"

namespace {

constexpr const wchar_t* kValueOn = L"Network conditions on";
constexpr const wchar_t* kValueOptions = L"Network conditions";
constexpr const wchar_t* kValuePreset = L"Network conditions preset";

}  // namespace

bool CRegKeyTalvex::GetNetConditionsOn() {
    return QueryDWORD(kValueOn, 0) == 1;
}

void CRegKeyTalvex::SetNetConditionsOn(bool bOn) {
    SetDWORD(kValueOn, bOn ? 1 : 0);
}

std::wstring CRegKeyTalvex::GetNetConditions() {
    return QueryString(kValueOptions);
}

void CRegKeyTalvex::SetNetConditions(const wchar_t* pszOptions) {
    SetString(kValueOptions, pszOptions);
}

std::wstring CRegKeyTalvex::GetNetConditionsPreset() {
    return QueryString(kValuePreset);
}

void CRegKeyTalvex::SetNetConditionsPreset(const wchar_t* pszName) {
    SetString(kValuePreset, pszName);
}
