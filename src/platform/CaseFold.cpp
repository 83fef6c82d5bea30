#include "platform/CaseFold.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>

namespace win {

namespace {

// The Unicode character classes of the C library, independent of the program's own
// locale; null when the system has no UTF-8 locale (then only ASCII letters change).
locale_t UnicodeLocale() {
    static const locale_t s_locale = [] {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (loc == static_cast<locale_t>(nullptr)) {
            loc = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
        }
        return loc;
    }();
    return s_locale;
}

}  // namespace

wchar_t UpperCaseChar(wchar_t c) {
    if (c < 0x80) {
        return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
    }
    const locale_t loc = UnicodeLocale();
    if (loc == static_cast<locale_t>(nullptr)) {
        return c;
    }
    return static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), loc));
}

std::wstring UpperCase(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        c = UpperCaseChar(c);
    }
    return out;
}

int CompareNoCase(std::wstring_view a, std::wstring_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const wchar_t ua = UpperCaseChar(a[i]);
        const wchar_t ub = UpperCaseChar(b[i]);
        if (ua != ub) {
            return ua < ub ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace win
