#include "settings/ServerList.h"

#include "platform/CaseFold.h"

int CompareServerText(std::wstring_view a, std::wstring_view b) {
    return win::CompareNoCase(a, b);
}
