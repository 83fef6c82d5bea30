// What patterns match, and the groups they report.
#include "regexp/RegMatcher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The two patterns the HTTP rewriting uses, always with case folding.
constexpr const wchar_t* kRequestPattern = L"^(GET|POST) (.*) HTTP/.*";
constexpr const wchar_t* kHostPattern = L"^(.*)(localhost)(.*)";

// The whole match as "start:text", or "none".
std::wstring Find(std::wstring_view strPattern, std::wstring_view strSubject,
                  bool bIgnoreCase = false) {
    CRegMatcher re(strPattern, bIgnoreCase);
    EXPECT_TRUE(re.IsCompiled()) << re.GetErrorText();
    if (!re.Match(strSubject)) {
        EXPECT_EQ(re.GetErrorText(), L"");
        return L"none";
    }
    return std::to_wstring(re.GetSubStart(0)) + L":" + re.GetSubString(0);
}

TEST(RegMatch, RequestLineWithLowerCaseMethod) {
    CRegMatcher re(kRequestPattern, true);
    ASSERT_TRUE(re.Match(std::wstring_view(L"get /index.html?q=a%20b HTTP/1.1")));
    EXPECT_EQ(re.GetSubCount(), 2);
    EXPECT_EQ(re.GetSubString(1), L"get");
    EXPECT_EQ(re.GetSubString(2), L"/index.html?q=a%20b");
    // The path group is greedy: it runs to the last " HTTP/".
    ASSERT_TRUE(re.Match(std::wstring_view(L"PoSt /a HTTP/b HTTP/1.0")));
    EXPECT_EQ(re.GetSubString(1), L"PoSt");
    EXPECT_EQ(re.GetSubString(2), L"/a HTTP/b");
    EXPECT_FALSE(re.Match(std::wstring_view(L"PUT /x HTTP/1.1")));
    EXPECT_EQ(re.GetSubCount(), -1);
    EXPECT_FALSE(re.Match(std::wstring_view(L" GET /x HTTP/1.1")));
}

TEST(RegMatch, HostPatternPutsTheLastOccurrenceInGroupTwo) {
    CRegMatcher re(kHostPattern, true);
    const std::wstring strLine = L"Referer: http://LocalHost:8080/localhost/page";
    ASSERT_TRUE(re.Match(strLine));
    EXPECT_EQ(re.GetSubCount(), 3);
    EXPECT_EQ(re.GetSubString(1), L"Referer: http://LocalHost:8080/");
    EXPECT_EQ(re.GetSubString(2), L"localhost");
    EXPECT_EQ(re.GetSubStart(2), 31);
    EXPECT_EQ(re.GetSubLength(2), 9);
    EXPECT_EQ(re.GetSubString(3), L"/page");
    ASSERT_TRUE(re.Match(std::wstring_view(L"Host: LOCALHOST")));
    EXPECT_EQ(re.GetSubString(2), L"LOCALHOST");
    EXPECT_EQ(re.GetSubString(3), L"");
    EXPECT_EQ(re.GetSubStart(3), 15);
    EXPECT_FALSE(re.Match(std::wstring_view(L"Host: local-host")));
}

TEST(RegMatch, LiteralRunsEscapesAndRepetitionTargets) {
    // An escaped star is a literal.
    EXPECT_EQ(Find(L"a\\*b", L"xa*b"), L"1:a*b");
    EXPECT_EQ(Find(L"a\\*b", L"aab"), L"none");
    EXPECT_EQ(Find(L"a\\*b", L"ab"), L"none");
    // A repetition applies to the last character of a run only.
    EXPECT_EQ(Find(L"ab*", L"abbbab"), L"0:abbb");
    EXPECT_EQ(Find(L"ab*", L"ababab"), L"0:ab");
    EXPECT_EQ(Find(L"xab+", L"xaxabbb"), L"2:xabbb");
    EXPECT_EQ(Find(L"ab\\*+c", L"ab**c"), L"0:ab**c");
    EXPECT_EQ(Find(L"colou?r", L"the color"), L"4:color");
    EXPECT_EQ(Find(L"colou?r", L"colour"), L"0:colour");
    // Other escaped characters are literals too; braces have no meaning.
    EXPECT_EQ(Find(L"\\.\\(\\[", L"a.([b"), L"1:.([");
    EXPECT_EQ(Find(L"x{2}", L"xx x{2}"), L"3:x{2}");
}

TEST(RegMatch, AnchorsAndAnyCharacter) {
    // '$' is the very end of the subject only; '.' takes a line break.
    EXPECT_EQ(Find(L"a$", L"a\n"), L"none");
    EXPECT_EQ(Find(L"a$", L"ba\na"), L"3:a");
    EXPECT_EQ(Find(L"a.b", L"a\nb"), L"0:a\nb");
    EXPECT_EQ(Find(L"^b", L"ab\nb"), L"none");
    EXPECT_EQ(Find(L"x*$", L"abc"), L"3:");
    EXPECT_EQ(Find(L"a^b", L"a^b ab"), L"none");
}

TEST(RegMatch, EmptySubjectIsTriedAtItsEnd) {
    EXPECT_EQ(Find(L"x*", L""), L"0:");
    EXPECT_EQ(Find(L"^$", L""), L"0:");
    EXPECT_EQ(Find(L"(a|)", L""), L"0:");
    EXPECT_EQ(Find(L"a", L""), L"none");
    EXPECT_EQ(Find(L".", L""), L"none");
    EXPECT_EQ(Find(L"[^a]", L""), L"none");
}

TEST(RegMatch, SetsAndRanges) {
    EXPECT_EQ(Find(L"[a-c]+", L"xxbcaz"), L"2:bca");
    EXPECT_EQ(Find(L"[^a-c]", L"abcd"), L"3:d");
    EXPECT_EQ(Find(L"[]x]", L"a]"), L"1:]");
    EXPECT_EQ(Find(L"[^]x]", L"]xy"), L"2:y");
    EXPECT_EQ(Find(L"[-x]+", L"a-x-"), L"1:-x-");
    EXPECT_EQ(Find(L"[x-]", L"a-"), L"1:-");
    // The hyphen after a range starts a range from the range's last character.
    EXPECT_EQ(Find(L"[a-c-e]+", L"zbde-"), L"1:bde");
    EXPECT_EQ(Find(L"[a-c-e]", L"-"), L"none");
    EXPECT_EQ(Find(L"[\u0100-\u0102]", L"a\u0103\u0101"), L"2:\u0101");
    EXPECT_EQ(Find(L"[.*]+", L"a*.b"), L"1:*.");
}

TEST(RegMatch, FirstSuccessfulAlternativeWinsAtTheLeftmostStart) {
    EXPECT_EQ(Find(L"a|ab", L"xab"), L"1:a");
    EXPECT_EQ(Find(L"ab|a", L"xab"), L"1:ab");
    EXPECT_EQ(Find(L"b|ab", L"xab"), L"1:ab");
    // Backtracking into an earlier choice when the rest fails.
    EXPECT_EQ(Find(L"(a|ab)c", L"abc"), L"0:abc");
    EXPECT_EQ(Find(L"a*ab", L"aaab"), L"0:aaab");
    EXPECT_EQ(Find(L"(ab)*abc", L"abababc"), L"0:abababc");
    EXPECT_EQ(Find(L"(ab)+x", L"ababab abx"), L"7:abx");
}

TEST(RegMatch, GroupsReportTheLastRepetitionAndCountLeadingSetGroups) {
    CRegMatcher re(u"(a.)+", false);
    ASSERT_TRUE(re.Match(u"xa1a2a3"));
    EXPECT_EQ(re.GetSubString(0), L"a1a2a3");
    EXPECT_EQ(re.GetSubString(1), L"a3");
    EXPECT_EQ(re.GetSubStart(1), 5);

    // Groups 1 and 3 set, 2 unset: the count stops at the gap.
    CRegMatcher gaps(u"(a)(b)?(c)", false);
    ASSERT_TRUE(gaps.Match(u"ac"));
    EXPECT_EQ(gaps.GetSubCount(), 1);
    EXPECT_EQ(gaps.GetSubStart(2), -1);
    EXPECT_EQ(gaps.GetSubLength(2), -1);
    EXPECT_EQ(gaps.GetSubString(2), L"");
    EXPECT_EQ(gaps.GetSubString(3), L"c");
    ASSERT_TRUE(gaps.Match(u"abc"));
    EXPECT_EQ(gaps.GetSubCount(), 3);

    // A group in an alternative that was left is unset.
    CRegMatcher alt(u"(x)|(y)", false);
    ASSERT_TRUE(alt.Match(u"y"));
    EXPECT_EQ(alt.GetSubCount(), 0);
    EXPECT_EQ(alt.GetSubString(2), L"y");
}

TEST(RegMatch, GroupIndexesOutsideTheRange) {
    CRegMatcher re(u"(a)(b)(c)(d)(e)(f)(g)(h)(i)", false);
    ASSERT_TRUE(re.Match(u"_abcdefghi"));
    EXPECT_EQ(re.GetSubCount(), 9);
    EXPECT_EQ(re.GetSubString(9), L"i");
    EXPECT_EQ(re.GetSubStart(12), 9);
    EXPECT_EQ(re.GetSubLength(12), 1);
    EXPECT_EQ(re.GetSubStart(-1), -1);
    EXPECT_EQ(re.GetSubLength(-1), -1);
    EXPECT_EQ(re.GetSubString(10), L"");
    EXPECT_EQ(re.GetSubString(-1), L"");
}

TEST(RegMatch, WordStartAndEnd) {
    EXPECT_EQ(Find(L"\\<foo\\>", L"afoo foo_ foo."), L"10:foo");
    EXPECT_EQ(Find(L"\\<foo", L"foo"), L"0:foo");
    EXPECT_EQ(Find(L"\\<", L"  "), L"none");
    EXPECT_EQ(Find(L"o\\>", L"oo"), L"1:o");
    // Characters above 127 are never word characters.
    EXPECT_EQ(Find(L"\\<x", L"\u00e9x"), L"1:x");
}

TEST(RegMatch, CaseFoldingAppliesOutsideBracketsOnly) {
    EXPECT_EQ(Find(L"localhost", L"LoCaLhOsT", true), L"0:LoCaLhOsT");
    EXPECT_EQ(Find(L"localhost", L"LoCaLhOsT", false), L"none");
    EXPECT_EQ(Find(L"[a-z]+", L"ABCdef", true), L"3:def");
    EXPECT_EQ(Find(L"x[A]y", L"XAY xay", true), L"0:XAY");
    EXPECT_EQ(Find(L"\u00e9", L"\u00c9\u00e9", true), L"1:\u00e9");
    EXPECT_EQ(CRegMatcher::FoldCase(u"aZ[bC]d-1"), u"[Aa][Zz][bC][Dd]-1");
    // Backslashes are not special: the escaped letter is folded into an escaped '['.
    EXPECT_EQ(CRegMatcher::FoldCase(u"\\d"), u"\\[Dd]");
}

TEST(RegMatch, ZeroCharactersInTheSubjectAreOrdinary) {
    CRegMatcher re(u"a.b", false);
    ASSERT_TRUE(re.Match(std::u16string_view(u"xa\0b", 4)));
    EXPECT_EQ(re.GetSubStart(0), 1);
    EXPECT_EQ(re.GetSubString16(0), std::u16string(u"a\0b", 3));
    CRegMatcher tail(u"b$", false);
    EXPECT_TRUE(tail.Match(std::u16string_view(u"a\0b", 3)));
    EXPECT_FALSE(tail.Match(u"a\0b"));  // the pointer form ends at the zero
}

}  // namespace
