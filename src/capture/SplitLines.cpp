#include "capture/SplitLines.h"

#include <algorithm>

#include "platform/TextConv.h"

std::wstring BlockText(const char* pBytes, std::size_t nBytes) {
    std::wstring text = win::AnsiToWide(std::string_view(pBytes, nBytes));
    std::replace(text.begin(), text.end(), L'\0', L'\u2400');
    return text;
}
