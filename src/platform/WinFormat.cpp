#include "platform/WinFormat.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <type_traits>

#include "platform/TextConv.h"
#include "platform/WinError.h"

namespace win {

std::int64_t CFormatArg::AsSigned() const {
    switch (m_kind) {
        case Kind::Signed:
            return m_i;
        case Kind::Unsigned:
        case Kind::Pointer:
            return static_cast<std::int64_t>(m_u);
        case Kind::Double:
            // Saturate instead of the undefined conversion of an out-of-range value.
            if (std::isnan(m_d)) {
                return 0;
            }
            if (m_d >= 9223372036854775807.0) {
                return std::numeric_limits<std::int64_t>::max();
            }
            if (m_d <= -9223372036854775808.0) {
                return std::numeric_limits<std::int64_t>::min();
            }
            return static_cast<std::int64_t>(m_d);
        case Kind::Wide:
        case Kind::Narrow:
            break;
    }
    return 0;
}

std::uint64_t CFormatArg::AsUnsigned() const {
    switch (m_kind) {
        case Kind::Signed:
            return static_cast<std::uint64_t>(m_i);
        case Kind::Unsigned:
        case Kind::Pointer:
            return m_u;
        case Kind::Double:
            if (m_d >= 18446744073709551615.0) {
                return std::numeric_limits<std::uint64_t>::max();
            }
            if (m_d >= 0) {
                return static_cast<std::uint64_t>(m_d);
            }
            // A negative value wraps as the signed conversion would.
            return static_cast<std::uint64_t>(AsSigned());
        case Kind::Wide:
        case Kind::Narrow:
            break;
    }
    return 0;
}

double CFormatArg::AsDouble() const {
    switch (m_kind) {
        case Kind::Signed:
            return static_cast<double>(m_i);
        case Kind::Unsigned:
        case Kind::Pointer:
            return static_cast<double>(m_u);
        case Kind::Double:
            return m_d;
        case Kind::Wide:
        case Kind::Narrow:
            break;
    }
    return 0.0;
}

namespace {

constexpr HRESULT kOk = 0;

// The largest buffer the bounded form accepts; "no limit" means this limit.
constexpr std::size_t kMaxCch = 2147483647;

// The width of the characters a "%c" / "%s" conversion names.
enum class CharWidth { Default, Narrow, Wide };

struct CField {
    bool bLeft = false;
    bool bPlus = false;
    bool bSpace = false;
    bool bAlt = false;
    bool bZero = false;
    std::size_t nWidth = 0;
    int nPrecision = -1;  // -1: none given
    int nIntBits = 32;
    CharWidth charWidth = CharWidth::Default;
};

// The text being built, cut at the bound: an append that does not fit keeps what fits
// and marks the text as full.
template <class CharT>
class COutput {
public:
    COutput(std::basic_string<CharT>& out, std::size_t nLimit) : m_out(out), m_nLimit(nLimit) {}

    bool IsFull() const { return m_bFull; }

    void Append(const CharT* p, std::size_t n) { m_out.append(p, Fit(n)); }

    void Append(std::basic_string_view<CharT> s) { Append(s.data(), s.size()); }

    void Fill(CharT c, std::size_t n) { m_out.append(Fit(n), c); }

    // Appends ASCII text made by the number conversions.
    void AppendAscii(std::string_view s) {
        if constexpr (std::is_same_v<CharT, char>) {
            Append(s);
        } else {
            const std::size_t n = Fit(s.size());
            const std::size_t nOld = m_out.size();
            m_out.resize(nOld + n);
            std::copy_n(s.begin(), n, m_out.begin() + static_cast<std::ptrdiff_t>(nOld));
        }
    }

private:
    std::size_t Fit(std::size_t n) {
        const std::size_t nRoom = m_nLimit - m_out.size();
        if (n > nRoom) {
            m_bFull = true;
            return nRoom;
        }
        return n;
    }

    std::basic_string<CharT>& m_out;
    std::size_t m_nLimit;
    bool m_bFull = false;
};

// Writes the digits of v backwards ending at pEnd; returns the first digit.
char* WriteDigits(char* pEnd, std::uint64_t v, unsigned nBase, bool bUpper) {
    const char* digits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* p = pEnd;
    while (v != 0) {
        *--p = digits[v % nBase];
        v /= nBase;
    }
    return p;
}

template <class CharT>
class CFormatter {
public:
    using View = std::basic_string_view<CharT>;
    using String = std::basic_string<CharT>;
    static constexpr bool kWide = std::is_same_v<CharT, wchar_t>;

    CFormatter(String& out, std::size_t nLimit, std::span<const CFormatArg> args)
        : m_out(out, nLimit), m_args(args) {}

    HRESULT Run(View fmt) {
        std::size_t i = 0;
        while (i < fmt.size()) {
            // Copy the literal run up to the next conversion in one piece.
            const std::size_t nPct = fmt.find(CharT('%'), i);
            const std::size_t nEnd = nPct == View::npos ? fmt.size() : nPct;
            m_out.Append(fmt.substr(i, nEnd - i));
            if (m_out.IsFull()) {
                return STRSAFE_E_INSUFFICIENT_BUFFER;
            }
            if (nPct == View::npos) {
                break;
            }
            i = nPct + 1;
            if (!Convert(fmt, i)) {
                return STRSAFE_E_INVALID_PARAMETER;
            }
            if (m_out.IsFull()) {
                return STRSAFE_E_INSUFFICIENT_BUFFER;
            }
        }
        return kOk;
    }

private:
    const CFormatArg* NextArg() {
        if (m_nNext >= m_args.size()) {
            return nullptr;
        }
        return &m_args[m_nNext++];
    }

    // The ASCII character of a format unit, or NUL for anything else, so that a wide unit
    // never aliases a conversion letter by truncation.
    static char Ascii(CharT c) {
        return static_cast<std::make_unsigned_t<CharT>>(c) < 0x80 ? static_cast<char>(c) : '\0';
    }

    static std::size_t ParseNumber(View fmt, std::size_t& i) {
        std::size_t n = 0;
        while (i < fmt.size() && fmt[i] >= CharT('0') && fmt[i] <= CharT('9')) {
            n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(fmt[i] - CharT('0')),
                                      INT_MAX);
            ++i;
        }
        return n;
    }

    // Parses one conversion starting after its '%' and emits it; false for a malformed
    // conversion or a missing argument.
    bool Convert(View fmt, std::size_t& i) {
        CField field;
        for (; i < fmt.size(); ++i) {
            const CharT c = fmt[i];
            if (c == CharT('-')) {
                field.bLeft = true;
            } else if (c == CharT('+')) {
                field.bPlus = true;
            } else if (c == CharT(' ')) {
                field.bSpace = true;
            } else if (c == CharT('#')) {
                field.bAlt = true;
            } else if (c == CharT('0')) {
                field.bZero = true;
            } else {
                break;
            }
        }
        if (i < fmt.size() && fmt[i] == CharT('*')) {
            ++i;
            const CFormatArg* pArg = NextArg();
            if (pArg == nullptr) {
                return false;
            }
            const std::int64_t n = pArg->AsSigned();
            // A negative width taken from the arguments means left alignment.
            if (n < 0) {
                field.bLeft = true;
            }
            field.nWidth = static_cast<std::size_t>(std::min<std::uint64_t>(
                n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n),
                INT_MAX));
        } else {
            field.nWidth = ParseNumber(fmt, i);
        }
        if (i < fmt.size() && fmt[i] == CharT('.')) {
            ++i;
            if (i < fmt.size() && fmt[i] == CharT('*')) {
                ++i;
                const CFormatArg* pArg = NextArg();
                if (pArg == nullptr) {
                    return false;
                }
                // A negative precision counts as none given.
                const std::int64_t n = pArg->AsSigned();
                field.nPrecision =
                    n < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(n, INT_MAX));
            } else {
                field.nPrecision = static_cast<int>(ParseNumber(fmt, i));
            }
        }
        ParseSize(fmt, i, field);
        if (i >= fmt.size()) {
            return false;
        }
        const CharT conv = fmt[i++];
        if (conv == CharT('%')) {
            const CharT pct = CharT('%');
            m_out.Append(&pct, 1);
            return true;
        }
        const char c = Ascii(conv);
        if (c == '\0' ||
            std::string_view("diuxXopeEfFgGaAcCsS").find(c) == std::string_view::npos) {
            return false;
        }
        const CFormatArg* pArg = NextArg();
        if (pArg == nullptr) {
            return false;
        }
        switch (c) {
            case 'd':
            case 'i':
                EmitSigned(field, *pArg);
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                EmitUnsigned(field, *pArg, c);
                break;
            case 'p':
                // Pointers print as Windows does: upper-case hex of all 16 digits.
                field.nPrecision = 16;
                field.nIntBits = 64;
                EmitUnsigned(field, *pArg, 'X');
                break;
            case 'c':
            case 'C':
                EmitChar(field, *pArg, c);
                break;
            case 's':
            case 'S':
                EmitString(field, *pArg);
                break;
            default:
                EmitFloat(field, *pArg, c);
                break;
        }
        return true;
    }

    // Length modifiers: h and l keep integers at 32 bits but name the character width of
    // "%c" / "%s"; hh is 8 bits; ll, I64, I, j, z, t and L are 64 bits.
    static void ParseSize(View fmt, std::size_t& i, CField& field) {
        if (i >= fmt.size()) {
            return;
        }
        auto at = [&](std::size_t k, char c) { return k < fmt.size() && fmt[k] == CharT(c); };
        switch (Ascii(fmt[i])) {
            case 'h':
                ++i;
                field.charWidth = CharWidth::Narrow;
                if (at(i, 'h')) {
                    ++i;
                    field.nIntBits = 8;
                }
                break;
            case 'l':
                ++i;
                field.charWidth = CharWidth::Wide;
                if (at(i, 'l')) {
                    ++i;
                    field.nIntBits = 64;
                }
                break;
            case 'w':
                ++i;
                field.charWidth = CharWidth::Wide;
                break;
            case 'I':
                ++i;
                if (at(i, '6') && at(i + 1, '4')) {
                    i += 2;
                    field.nIntBits = 64;
                } else if (at(i, '3') && at(i + 1, '2')) {
                    i += 2;
                } else {
                    field.nIntBits = 64;
                }
                break;
            case 'j':
            case 'z':
            case 't':
            case 'L':
                ++i;
                field.nIntBits = 64;
                break;
            default:
                break;
        }
    }

    // Emits prefix, zeros and digits (all ASCII) padded to the field width.
    void EmitNumber(const CField& field, std::string_view prefix, std::size_t nZeros,
                    std::string_view digits) {
        const std::size_t nBody = prefix.size() + nZeros + digits.size();
        const std::size_t nPad = field.nWidth > nBody ? field.nWidth - nBody : 0;
        if (!field.bLeft) {
            m_out.Fill(CharT(' '), nPad);
        }
        m_out.AppendAscii(prefix);
        m_out.Fill(CharT('0'), nZeros);
        m_out.AppendAscii(digits);
        if (field.bLeft) {
            m_out.Fill(CharT(' '), nPad);
        }
    }

    void EmitInteger(const CField& field, std::uint64_t nMag, unsigned nBase, bool bUpper,
                     std::string_view prefix) {
        char buf[32];
        char* const pEnd = buf + sizeof buf;
        char* pFirst = WriteDigits(pEnd, nMag, nBase, bUpper);
        // Precision 0 prints nothing for 0; otherwise 0 is one digit.
        if (nMag == 0 && field.nPrecision != 0) {
            *--pFirst = '0';
        }
        const std::size_t nDigits = static_cast<std::size_t>(pEnd - pFirst);
        std::size_t nZeros = 0;
        if (field.nPrecision >= 0) {
            const auto nPrec = static_cast<std::size_t>(field.nPrecision);
            nZeros = nPrec > nDigits ? nPrec - nDigits : 0;
        }
        // "%#o" makes the first digit a 0.
        if (nBase == 8 && field.bAlt && nZeros == 0 && (nDigits == 0 || *pFirst != '0')) {
            *--pFirst = '0';
        }
        const std::string_view digits(pFirst, static_cast<std::size_t>(pEnd - pFirst));
        // The 0 flag pads with zeros after sign and prefix, unless a precision is given.
        if (field.bZero && !field.bLeft && field.nPrecision < 0) {
            const std::size_t nBody = prefix.size() + digits.size();
            nZeros = field.nWidth > nBody ? field.nWidth - nBody : 0;
        }
        EmitNumber(field, prefix, nZeros, digits);
    }

    void EmitSigned(const CField& field, const CFormatArg& arg) {
        std::int64_t v = arg.AsSigned();
        if (field.nIntBits == 32) {
            v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        } else if (field.nIntBits == 8) {
            v = static_cast<std::int8_t>(static_cast<std::uint8_t>(v));
        }
        const bool bNeg = v < 0;
        const std::uint64_t nMag =
            bNeg ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        std::string_view prefix;
        if (bNeg) {
            prefix = "-";
        } else if (field.bPlus) {
            prefix = "+";
        } else if (field.bSpace) {
            prefix = " ";
        }
        EmitInteger(field, nMag, 10, false, prefix);
    }

    void EmitUnsigned(const CField& field, const CFormatArg& arg, char conv) {
        std::uint64_t v = arg.AsUnsigned();
        if (field.nIntBits == 32) {
            v = static_cast<std::uint32_t>(v);
        } else if (field.nIntBits == 8) {
            v = static_cast<std::uint8_t>(v);
        }
        std::string_view prefix;
        unsigned nBase = 10;
        if (conv == 'x' || conv == 'X') {
            nBase = 16;
            if (field.bAlt && v != 0) {
                prefix = conv == 'x' ? "0x" : "0X";
            }
        } else if (conv == 'o') {
            nBase = 8;
        }
        EmitInteger(field, v, nBase, conv == 'X', prefix);
    }

    // Emits text padded to the field width; the 0 flag pads with zeros here too, as the
    // Windows runtime does.
    void EmitPadded(const CField& field, View text) {
        if (field.nPrecision >= 0 && text.size() > static_cast<std::size_t>(field.nPrecision)) {
            text = text.substr(0, static_cast<std::size_t>(field.nPrecision));
        }
        const std::size_t nPad = field.nWidth > text.size() ? field.nWidth - text.size() : 0;
        if (!field.bLeft) {
            m_out.Fill(field.bZero ? CharT('0') : CharT(' '), nPad);
        }
        m_out.Append(text);
        if (field.bLeft) {
            m_out.Fill(CharT(' '), nPad);
        }
    }

    void EmitChar(const CField& field, const CFormatArg& arg, char conv) {
        // "%c" names the format's own character width, "%C" the other one; h and l
        // override both.
        bool bWideArg = (conv == 'c') == kWide;
        if (field.charWidth == CharWidth::Narrow) {
            bWideArg = false;
        } else if (field.charWidth == CharWidth::Wide) {
            bWideArg = true;
        }
        CField noPrecision = field;
        noPrecision.nPrecision = -1;
        const std::uint64_t v = arg.AsUnsigned();
        if (bWideArg) {
            const auto wc = static_cast<wchar_t>(static_cast<std::uint32_t>(v));
            if constexpr (kWide) {
                EmitPadded(noPrecision, View(&wc, 1));
            } else {
                EmitPadded(noPrecision, WideToAnsi(std::wstring_view(&wc, 1)));
            }
        } else {
            const char ch = static_cast<char>(static_cast<unsigned char>(v));
            if constexpr (kWide) {
                EmitPadded(noPrecision, AnsiToWide(std::string_view(&ch, 1)));
            } else {
                EmitPadded(noPrecision, View(&ch, 1));
            }
        }
    }

    void EmitString(const CField& field, const CFormatArg& arg) {
        // The argument knows its own character width, so "%s", "%S", "%hs" and "%ls" all
        // convert it to the width of the format.
        switch (arg.GetKind()) {
            case CFormatArg::Kind::Wide:
                if constexpr (kWide) {
                    EmitPadded(field, arg.Wide());
                } else {
                    EmitConvertedNarrow(field, WideToAnsi(arg.Wide()));
                }
                return;
            case CFormatArg::Kind::Narrow:
                if constexpr (kWide) {
                    EmitPadded(field, AnsiToWide(arg.Narrow()));
                } else {
                    EmitPadded(field, arg.Narrow());
                }
                return;
            case CFormatArg::Kind::Double: {
                char buf[64];
                const int n = std::snprintf(buf, sizeof buf, "%g", arg.AsDouble());
                EmitPadded(field,
                           Widen(std::string_view(buf, n > 0 ? static_cast<std::size_t>(n) : 0)));
                return;
            }
            case CFormatArg::Kind::Signed: {
                char buf[32];
                const auto r = std::to_chars(buf, buf + sizeof buf, arg.AsSigned());
                EmitPadded(field,
                           Widen(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf))));
                return;
            }
            case CFormatArg::Kind::Unsigned:
            case CFormatArg::Kind::Pointer: {
                char buf[32];
                const auto r = std::to_chars(buf, buf + sizeof buf, arg.AsUnsigned());
                EmitPadded(field,
                           Widen(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf))));
                return;
            }
        }
    }

    // A wide string converted to UTF-8 is cut by the precision at a character boundary,
    // never inside a character's byte sequence.
    void EmitConvertedNarrow(CField field, const std::string& text) {
        if (field.nPrecision >= 0 && text.size() > static_cast<std::size_t>(field.nPrecision)) {
            std::size_t nCut = static_cast<std::size_t>(field.nPrecision);
            while (nCut > 0 && (static_cast<unsigned char>(text[nCut]) & 0xC0) == 0x80) {
                --nCut;
            }
            field.nPrecision = static_cast<int>(nCut);
        }
        EmitPadded(field, View(text));
    }

    static String Widen(std::string_view s) { return String(s.begin(), s.end()); }

    void EmitFloat(const CField& field, const CFormatArg& arg, char conv) {
        const double v = arg.AsDouble();
        // The C library formats the number; width and the 0 flag are applied here so that
        // a huge width costs no more than the bound allows.
        char fmt[16];
        char* p = fmt;
        *p++ = '%';
        if (field.bPlus) {
            *p++ = '+';
        }
        if (field.bSpace) {
            *p++ = ' ';
        }
        if (field.bAlt) {
            *p++ = '#';
        }
        if (field.nPrecision >= 0) {
            *p++ = '.';
            *p++ = '*';
        }
        *p++ = conv;
        *p = '\0';

        char buf[512];
        std::string big;
        const auto print = [&](char* pDst, std::size_t nDst) {
            return field.nPrecision >= 0 ? std::snprintf(pDst, nDst, fmt, field.nPrecision, v)
                                         : std::snprintf(pDst, nDst, fmt, v);
        };
        int n = print(buf, sizeof buf);
        if (n < 0) {
            return;
        }
        std::string_view body(buf, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) >= sizeof buf) {
            big.resize(static_cast<std::size_t>(n) + 1);
            n = print(big.data(), big.size());
            if (n < 0) {
                return;
            }
            body = std::string_view(big.data(), static_cast<std::size_t>(n));
        }

        std::size_t nPrefix = 0;
        std::size_t nZeros = 0;
        if (field.bZero && !field.bLeft && std::isfinite(v)) {
            if (!body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' ')) {
                nPrefix = 1;
            }
            if ((conv == 'a' || conv == 'A') && body.size() >= nPrefix + 2 &&
                body[nPrefix] == '0' && (body[nPrefix + 1] == 'x' || body[nPrefix + 1] == 'X')) {
                nPrefix += 2;
            }
            nZeros = field.nWidth > body.size() ? field.nWidth - body.size() : 0;
        }
        EmitNumber(field, body.substr(0, nPrefix), nZeros, body.substr(nPrefix));
    }

    COutput<CharT> m_out;
    std::span<const CFormatArg> m_args;
    std::size_t m_nNext = 0;
};

template <class CharT>
HRESULT FormatBoundedImpl(std::basic_string<CharT>& out, std::size_t cchMax,
                          std::basic_string_view<CharT> fmt, std::span<const CFormatArg> args) {
    out.clear();
    // cchMax counts the terminator of the buffer it stands for.
    const std::size_t nLimit = (cchMax == 0 || cchMax > kMaxCch ? kMaxCch : cchMax) - 1;
    out.reserve(std::min(nLimit, fmt.size() + 16));
    CFormatter<CharT> formatter(out, nLimit, args);
    return formatter.Run(fmt);
}

}  // namespace

HRESULT FormatBoundedV(std::wstring& out, std::size_t cchMax, std::wstring_view fmt,
                       std::span<const CFormatArg> args) {
    return FormatBoundedImpl(out, cchMax, fmt, args);
}

HRESULT FormatBoundedVA(std::string& out, std::size_t cchMax, std::string_view fmt,
                        std::span<const CFormatArg> args) {
    return FormatBoundedImpl(out, cchMax, fmt, args);
}

}  // namespace win
