#include "platform/WinFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/WinError.h"

namespace {

using win::CFormatArg;
using win::FormatA;
using win::FormatW;

TEST(WinFormatStrings, WideFormatTakesStringsOfEitherWidth) {
    EXPECT_EQ(FormatW(L"[%s]", L"wide"), L"[wide]");
    EXPECT_EQ(FormatW(L"[%S]", "narrow"), L"[narrow]");
    EXPECT_EQ(FormatW(L"[%hs|%ls|%ws]", "a", L"b", std::wstring(L"c")), L"[a|b|c]");
    // An 8-bit string goes through the byte decoding: UTF-8 and a stray byte.
    EXPECT_EQ(FormatW(L"%S", "caf\xC3\xA9 \x80"), L"caf\u00E9 \u20AC");
    EXPECT_EQ(FormatW(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
}

TEST(WinFormatStrings, NarrowFormatTakesStringsOfEitherWidth) {
    EXPECT_EQ(FormatA("[%s]", "narrow"), "[narrow]");
    EXPECT_EQ(FormatA("[%S|%ls|%ws]", L"\u20AC", L"b", L"c"), "[\xE2\x82\xAC|b|c]");
    EXPECT_EQ(FormatA("%s", std::string("x")), "x");
}

TEST(WinFormatStrings, WidthPrecisionAndAlignment) {
    EXPECT_EQ(FormatW(L"%-5s|", L"ab"), L"ab   |");
    EXPECT_EQ(FormatW(L"%5s|", L"ab"), L"   ab|");
    EXPECT_EQ(FormatW(L"%.2s|", L"abcdef"), L"ab|");
    EXPECT_EQ(FormatW(L"%*.*s|", 4, 1, L"xyz"), L"   x|");
    EXPECT_EQ(FormatW(L"%*s|", -4, L"x"), L"x   |");
    // The 0 flag pads text with zeros as well.
    EXPECT_EQ(FormatW(L"%05s", L"ab"), L"000ab");
    // A precision never cuts a converted character in two.
    EXPECT_EQ(FormatA("%.2S|", L"a\u00E9"), "a|");
    EXPECT_EQ(FormatA("%.3S|", L"a\u00E9"), "a\xC3\xA9|");
}

TEST(WinFormatChars, CharactersOfEitherWidth) {
    EXPECT_EQ(FormatW(L"%c%c", L'\u00E9', L'\u20AC'), L"\u00E9\u20AC");
    EXPECT_EQ(FormatW(L"%C%hc", 'A', '\x80'), L"A\u20AC");
    EXPECT_EQ(FormatW(L"%3c|%-3c|", L'x', L'y'), L"  x|y  |");
    EXPECT_EQ(FormatA("%c%hc", 'A', 'b'), "Ab");
    EXPECT_EQ(FormatA("%C%lc%wc", L'\u20AC', L'x', L'\u00E9'),
              "\xE2\x82\xAC"
              "x\xC3\xA9");
}

TEST(WinFormatIntegers, DefaultAndLongAreThirtyTwoBits) {
    const long long big = (1LL << 32) + 0x80000001LL;
    EXPECT_EQ(FormatW(L"%ld", big), L"-2147483647");
    EXPECT_EQ(FormatW(L"%d", big), L"-2147483647");
    EXPECT_EQ(FormatW(L"%lu", -1LL), L"4294967295");
    EXPECT_EQ(FormatW(L"%x", -1), L"ffffffff");
    EXPECT_EQ(FormatW(L"%X", -2), L"FFFFFFFE");
    EXPECT_EQ(FormatW(L"%lx", 0x123456789ULL), L"23456789");
    EXPECT_EQ(FormatW(L"%hd", 70000), L"70000");
    EXPECT_EQ(FormatW(L"%d", 0xFFFFFFFFu), L"-1");
    EXPECT_EQ(FormatW(L"%I32d", big), L"-2147483647");
}

TEST(WinFormatIntegers, SixtyFourAndEightBits) {
    const long long big = (1LL << 32) + 5;
    EXPECT_EQ(FormatW(L"%I64d", big), L"4294967301");
    EXPECT_EQ(FormatW(L"%lld", std::numeric_limits<long long>::min()), L"-9223372036854775808");
    EXPECT_EQ(FormatW(L"%llu", -1LL), L"18446744073709551615");
    EXPECT_EQ(FormatW(L"%I64X", 0xABCDEF0123ULL), L"ABCDEF0123");
    EXPECT_EQ(FormatW(L"%zu|%jd|%Iu|%td", big, -big, big, big),
              L"4294967301|-4294967301|4294967301|4294967301");
    EXPECT_EQ(FormatW(L"%hhd|%hhu|%hhx", 200, -1, 0x1FF), L"-56|255|ff");
}

TEST(WinFormatIntegers, FlagsWidthAndPrecisionMatchTheCLibrary) {
    // For conversions whose meaning is the same on both systems, the C library is the
    // reference.
    const char* const formats[] = {"%d",   "%5d",   "%-5d|",   "%05d",   "%+d",   "% d",   "%+05d",
                                   "%.3d", "%8.3d", "%-8.3d|", "%08.3d", "%.0d",  "%+.0d", "%x",
                                   "%#x",  "%#08x", "%#X",     "%#.0x",  "%o",    "%#o",   "%#.0o",
                                   "%#5o", "%u",    "%010u",   "%-+8d|", "% 08d", "%#.6o", "%.10x"};
    const int values[] = {0, 1, -1, 42, -42, 8, 255, 123456, INT_MIN, INT_MAX};
    for (const char* format : formats) {
        for (const int v : values) {
            char expected[64];
            std::snprintf(expected, sizeof expected, format, v);
            EXPECT_EQ(FormatA(format, v), expected) << format << " of " << v;
        }
    }
    EXPECT_EQ(FormatW(L"%02d:%03d", 7, 5), L"07:005");
    EXPECT_EQ(FormatW(L"%*d|%-*d|%.*d", 4, 1, 3, 2, 3, 3), L"   1|2  |003");
    EXPECT_EQ(FormatW(L"%.*d", -1, 0), L"0");
}

TEST(WinFormatIntegers, PointerIsSixteenUpperCaseDigits) {
    const void* p = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0xabc123));
    EXPECT_EQ(FormatW(L"%p", p), L"0000000000ABC123");
    EXPECT_EQ(FormatW(L"%p", static_cast<const void*>(nullptr)), L"0000000000000000");
    EXPECT_EQ(FormatW(L"%18p|", p), L"  0000000000ABC123|");
}

TEST(WinFormatFloats, WideFormatAndLongResults) {
    EXPECT_EQ(FormatW(L"%.2f|%e|%G", 3.14159, 12345.678, 1e20), L"3.14|1.234568e+04|1E+20");
    // Longer than the first buffer the C library is given.
    const std::wstring w = FormatW(L"%.600f", 1.0);
    EXPECT_EQ(w.size(), 602u);
    EXPECT_EQ(w.substr(0, 3), L"1.0");
}

TEST(WinFormatFloats, PaddingMatchesTheCLibrary) {
    // The C library formats the number; width and the 0 flag are applied separately, so
    // compare the whole result with the library's own.
    const char* const formats[] = {"%12f",   "%-12f|",  "%012f", "%+012.2f", "% 012.1e", "%012g",
                                   "%#012a", "%-+12A|", "%012a", "%#012.0f", "%012.3G",  "%3f"};
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {
        0.0, -0.0, 1.0, -2.5, 1e-5, 6.02e23, inf, -inf, std::numeric_limits<double>::quiet_NaN()};
    for (const char* format : formats) {
        for (const double v : values) {
            char expected[64];
            std::snprintf(expected, sizeof expected, format, v);
            EXPECT_EQ(FormatA(format, v), expected) << format << " of " << v;
        }
    }
}

TEST(WinFormatMismatch, ArgumentsOfTheWrongKindNeverCrash) {
    EXPECT_EQ(FormatW(L"%d|%x|%f", L"text", "bytes", L"w"), L"0|0|0.000000");
    EXPECT_EQ(FormatW(L"%s|%s|%s|%s", 42, -7, 7u, 2.5), L"42|-7|7|2.5");
    EXPECT_EQ(FormatA("%s|%5s|", -7, 12), "-7|   12|");
    EXPECT_EQ(FormatW(L"%f|%d|%u", 3, 2.9, -1.0), L"3.000000|2|4294967295");
    EXPECT_EQ(FormatW(L"%p", L"x"), L"0000000000000000");
}

TEST(WinFormatMismatch, ArgumentConversions) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(CFormatArg(nan).AsSigned(), 0);
    EXPECT_EQ(CFormatArg(1e30).AsSigned(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(CFormatArg(-1e30).AsSigned(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(CFormatArg(1e30).AsUnsigned(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(CFormatArg(-2.0).AsUnsigned(), static_cast<std::uint64_t>(-2));
    EXPECT_EQ(CFormatArg(-1).AsUnsigned(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(CFormatArg(~0ULL).AsSigned(), -1);
    EXPECT_EQ(CFormatArg(~0ULL).AsDouble(), 18446744073709551615.0);
    EXPECT_EQ(CFormatArg(L"1").AsSigned(), 0);
    EXPECT_EQ(CFormatArg("1").AsUnsigned(), 0u);
    EXPECT_EQ(CFormatArg("1").AsDouble(), 0.0);
    EXPECT_EQ(CFormatArg(true).AsSigned(), 1);
    EXPECT_EQ(CFormatArg(static_cast<const void*>(nullptr)).AsUnsigned(), 0u);
}

TEST(WinFormatBounds, TextOfExactlyCchMaxMinusOneFits) {
    std::wstring out;
    const std::wstring fits(997, L'a');
    EXPECT_EQ(win::FormatBounded(out, 998, L"%s", fits), 0);
    EXPECT_EQ(out, fits);

    const std::wstring tooLong(998, L'b');
    EXPECT_EQ(win::FormatBounded(out, 998, L"%s", tooLong), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, std::wstring(997, L'b'));

    // The cut may fall inside literal text, padding or digits.
    EXPECT_EQ(win::FormatBounded(out, 6, L"abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, L"abcde");
    EXPECT_EQ(win::FormatBounded(out, 4, L"x%8d", 5), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, L"x  ");
    EXPECT_EQ(win::FormatBounded(out, 5, L"%d", 123456), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, L"1234");
    EXPECT_EQ(win::FormatBounded(out, 7, L"%d", 123456), 0);
    EXPECT_EQ(out, L"123456");

    std::string narrow;
    const CFormatArg args[] = {CFormatArg("xyz")};
    EXPECT_EQ(win::FormatBoundedVA(narrow, 3, "%s", args), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(narrow, "xy");
}

TEST(WinFormatBounds, SmallestBufferAndHugeOutputs) {
    std::wstring out = L"old";
    EXPECT_EQ(win::FormatBounded(out, 1, L""), 0);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(win::FormatBounded(out, 1, L"%s", L""), 0);
    EXPECT_EQ(win::FormatBounded(out, 1, L"x"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(win::FormatBounded(out, 1, L"%d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);

    // A width far beyond the bound costs only what the bound allows.
    EXPECT_EQ(win::FormatBounded(out, 10, L"%2000000000d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, std::wstring(9, L' '));
    EXPECT_EQ(win::FormatBounded(out, 10, L"%.2000000000d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, std::wstring(9, L'0'));

    const std::wstring big(1 << 20, L'q');
    EXPECT_EQ(win::FormatBounded(out, 0, L"%s%s", big, big), 0);
    EXPECT_EQ(out.size(), 2u << 20);
    EXPECT_EQ(FormatW(L"%100000d", 1).size(), 100000u);
    std::wstring manyConversions;
    for (int i = 0; i < 100000; ++i) {
        manyConversions += L"%%";
    }
    EXPECT_EQ(FormatW(manyConversions), std::wstring(100000, L'%'));
}

TEST(WinFormatErrors, MalformedFormatsKeepWhatCameBefore) {
    std::wstring out;
    EXPECT_EQ(win::FormatBounded(out, 0, L"a=%d b=%d", 1), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(out, L"a=1 b=");
    EXPECT_EQ(win::FormatBounded(out, 0, L"x%k"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(out, L"x");
    EXPECT_EQ(win::FormatBounded(out, 0, L"tail%"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(out, L"tail");
    EXPECT_EQ(win::FormatBounded(out, 0, L"%-08.3l"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(win::FormatBounded(out, 0, L"%*d", 5), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(win::FormatBounded(out, 0, L"%n", 5), STRSAFE_E_INVALID_PARAMETER);
    // A wide unit whose low byte is a conversion letter is no conversion.
    EXPECT_EQ(win::FormatBounded(out, 0, L"%\u0164", 5), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(win::FormatBounded(out, 0, L"%\u0168d", 5), STRSAFE_E_INVALID_PARAMETER);
    // Unused arguments are no fault; non-ASCII literal text passes through.
    EXPECT_EQ(win::FormatBounded(out, 0, L"\u00E9%%\u20AC", 1, 2), 0);
    EXPECT_EQ(out, L"\u00E9%\u20AC");
    EXPECT_EQ(FormatW(L"%d %d", 1), L"1 ");
}

}  // namespace
