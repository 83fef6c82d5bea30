// printf-style formatting with the meaning the program's texts were written for.
//
// The message texts are printf formats in which, for a wide format, "%s" takes a wide
// string, "%S" and "%hs" an 8-bit string, "%ld" / "%d" / "%x" a 32-bit value and "%lld" /
// "%I64d" a 64-bit value. The arguments are captured type-safely, so a text whose
// conversions do not match its arguments cannot crash the program: a missing argument is a
// formatting failure, and a string given where a number is expected (or the reverse) is
// converted as well as possible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/WinTypes.h"

namespace win {

// One captured argument of a formatted text.
class CFormatArg {
public:
    enum class Kind { Signed, Unsigned, Double, Wide, Narrow, Pointer };

    template <class T>
    requires(std::is_integral_v<T>&& std::is_signed_v<T>) CFormatArg(T v)
        : m_kind(Kind::Signed), m_i(static_cast<std::int64_t>(v)) {}
    template <class T>
    requires(std::is_integral_v<T>&& std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
        CFormatArg(T v)
        : m_kind(Kind::Unsigned), m_u(static_cast<std::uint64_t>(v)) {}
    CFormatArg(bool v) : m_kind(Kind::Signed), m_i(v ? 1 : 0) {}
    CFormatArg(wchar_t v) : m_kind(Kind::Unsigned), m_u(static_cast<std::uint32_t>(v)) {}
    CFormatArg(char v) : m_kind(Kind::Signed), m_i(v) {}
    CFormatArg(double v) : m_kind(Kind::Double), m_d(v) {}
    CFormatArg(const wchar_t* s) : m_kind(Kind::Wide), m_ws(s ? s : L"(null)") {}
    CFormatArg(const std::wstring& s) : m_kind(Kind::Wide), m_ws(s) {}
    CFormatArg(std::wstring_view s) : m_kind(Kind::Wide), m_ws(s) {}
    CFormatArg(const char* s) : m_kind(Kind::Narrow), m_s(s ? s : "(null)") {}
    CFormatArg(const std::string& s) : m_kind(Kind::Narrow), m_s(s) {}
    CFormatArg(std::string_view s) : m_kind(Kind::Narrow), m_s(s) {}
    CFormatArg(const void* p) : m_kind(Kind::Pointer), m_u(reinterpret_cast<std::uintptr_t>(p)) {}

    Kind GetKind() const { return m_kind; }
    std::int64_t AsSigned() const;
    std::uint64_t AsUnsigned() const;
    double AsDouble() const;
    std::wstring_view Wide() const { return m_ws; }
    std::string_view Narrow() const { return m_s; }

private:
    Kind m_kind;
    union {
        std::int64_t m_i;
        std::uint64_t m_u;
        double m_d;
    };
    std::wstring_view m_ws;
    std::string_view m_s;
};

// Formats `fmt` with `args` into `out`, allowing at most `cchMax` units including the
// terminator of the C-style buffer it stands for (cchMax 0 means no limit). Returns 0 (S_OK)
// on success. When the text does not fit, `out` holds its first cchMax - 1 units and the
// result is STRSAFE_E_INSUFFICIENT_BUFFER; a format that asks for more arguments than given,
// or is otherwise malformed, gives STRSAFE_E_INVALID_PARAMETER and `out` holds what was
// produced before the fault.
HRESULT FormatBoundedV(std::wstring& out, std::size_t cchMax, std::wstring_view fmt,
                       std::span<const CFormatArg> args);

// The 8-bit counterpart: "%s" takes an 8-bit string, "%S" and "%ls" a wide one.
HRESULT FormatBoundedVA(std::string& out, std::size_t cchMax, std::string_view fmt,
                        std::span<const CFormatArg> args);

// Unbounded convenience forms; a malformed format yields what could be produced.
template <class... A>
std::wstring FormatW(std::wstring_view fmt, const A&... a) {
    std::wstring out;
    const CFormatArg args[] = {CFormatArg(a)..., CFormatArg(0)};
    FormatBoundedV(out, 0, fmt, std::span<const CFormatArg>(args, sizeof...(A)));
    return out;
}

template <class... A>
std::string FormatA(std::string_view fmt, const A&... a) {
    std::string out;
    const CFormatArg args[] = {CFormatArg(a)..., CFormatArg(0)};
    FormatBoundedVA(out, 0, fmt, std::span<const CFormatArg>(args, sizeof...(A)));
    return out;
}

// The bounded form (StringCchPrintf): see FormatBoundedV.
template <class... A>
HRESULT FormatBounded(std::wstring& out, std::size_t cchMax, std::wstring_view fmt, const A&... a) {
    const CFormatArg args[] = {CFormatArg(a)..., CFormatArg(0)};
    return FormatBoundedV(out, cchMax, fmt, std::span<const CFormatArg>(args, sizeof...(A)));
}

}  // namespace win
