// The matcher object: its missing-program and missing-argument cases, shared programs and
// their private copies, and the wide-text overloads.
#include "regexp/RegMatcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(RegMatcher, WithoutAProgramEveryOperationReportsNullRegexp) {
    CRegMatcher re;
    EXPECT_FALSE(re.IsCompiled());
    EXPECT_FALSE(re.Match(u"abc"));
    EXPECT_EQ(re.GetErrorText(), L"NULL regexp");
    EXPECT_EQ(re.GetSubCount(), -1);
    EXPECT_EQ(re.GetSubStart(0), -1);
    EXPECT_EQ(re.GetSubLength(0), -1);
    EXPECT_EQ(re.GetSubString(0), L"");
    // Assigning a compiled one makes it usable.
    re = CRegMatcher(u"b", false);
    EXPECT_TRUE(re.Match(u"abc"));
    EXPECT_EQ(re.GetErrorText(), L"");
    EXPECT_EQ(re.GetSubStart(0), 1);
}

TEST(RegMatcher, UncompiledProgramAndMissingSubject) {
    CRegMatcher broken(u"(a", false);
    EXPECT_EQ(broken.GetErrorText(), L"unterminated ()");
    EXPECT_FALSE(broken.Match(u"a"));
    EXPECT_EQ(broken.GetErrorText(), L"corrupted regexp");
    EXPECT_EQ(broken.GetSubCount(), -1);

    CRegMatcher re(u"a", false);
    EXPECT_FALSE(re.Match(static_cast<const char16_t*>(nullptr)));
    EXPECT_EQ(re.GetErrorText(), L"NULL argument to regexec");
    // Every operation starts with a clear error.
    EXPECT_EQ(re.GetSubCount(), -1);
    EXPECT_EQ(re.GetErrorText(), L"");
}

TEST(RegMatcher, AFailedMatchLeavesNoGroupsOfTheOneBefore) {
    CRegMatcher re(u"x*abc", false);
    ASSERT_TRUE(re.Match(u"xxabc"));
    EXPECT_EQ(re.GetSubCount(), 0);
    // Refused by the must-have hint before any try: the old groups must not survive.
    EXPECT_FALSE(re.Match(u"zz"));
    EXPECT_EQ(re.GetSubCount(), -1);
    EXPECT_EQ(re.GetSubStart(0), -1);
    EXPECT_EQ(re.GetSubString(0), L"");
}

TEST(RegMatcher, CopiesShareResultsUntilOneMatchesAgain) {
    CRegMatcher first(u"[0-9]+", false);
    const std::u16string strOne = u"ab123";
    ASSERT_TRUE(first.Match(strOne));
    CRegMatcher second(first);
    EXPECT_EQ(second.GetSubString(0), L"123");
    EXPECT_EQ(second.GetSubStart(0), 2);

    // Matching a shared program works on a private copy: the other keeps its results.
    ASSERT_TRUE(second.Match(u"7x"));
    EXPECT_EQ(second.GetSubString(0), L"7");
    EXPECT_EQ(first.GetSubString(0), L"123");
    ASSERT_TRUE(first.Match(u"x45"));
    EXPECT_EQ(first.GetSubString(0), L"45");
    EXPECT_EQ(second.GetSubString(0), L"7");

    // Assignment between holders of one program, and to itself.
    CRegMatcher third(first);
    third = first;
    CRegMatcher& alias = third;
    third = alias;
    EXPECT_TRUE(third.Match(u"9"));
    EXPECT_EQ(third.GetSubString(0), L"9");
    EXPECT_EQ(first.GetSubString(0), L"45");
}

TEST(RegMatcher, ACopyOutlivesTheOriginalAndItsConvertedSubject) {
    auto pOriginal = std::make_unique<CRegMatcher>(L"b+", false);
    ASSERT_TRUE(pOriginal->Match(std::wstring(L"abbbc")));
    CRegMatcher copy(*pOriginal);
    CRegMatcher assigned;
    assigned = *pOriginal;
    pOriginal.reset();
    EXPECT_EQ(copy.GetSubString(0), L"bbb");
    EXPECT_EQ(assigned.GetSubString(0), L"bbb");
    EXPECT_TRUE(copy.Match(std::wstring_view(L"b")));
}

TEST(RegMatcher, WideTextGoesThroughUtf16) {
    // U+1F600 is two UTF-16 units: offsets and '.' count units, texts come back whole.
    CRegMatcher one(L"x(.)y", false);
    EXPECT_FALSE(one.Match(std::wstring(L"x\U0001F600y")));
    CRegMatcher pair(L"x(..)y", false);
    ASSERT_TRUE(pair.Match(std::wstring(L"\U0001F600x\U0001F600y")));
    EXPECT_EQ(pair.GetSubStart(0), 2);
    EXPECT_EQ(pair.GetSubString(1), L"\U0001F600");
    EXPECT_EQ(pair.GetSubLength(1), 2);
    EXPECT_EQ(pair.GetSubString16(1), u"\U0001F600");
    // A pattern given as wide text is converted the same way.
    CRegMatcher wide(L"\U0001F600+", false);
    ASSERT_TRUE(wide.Match(std::wstring(L"a\U0001F600\U0001F600")));
    EXPECT_EQ(wide.GetSubString(0), L"\U0001F600");  // '+' repeats the low unit only
}

TEST(RegMatcher, CopiesMatchAndDieOnDifferentThreads) {
    // Each thread gets a copy sharing one program; the original goes away meanwhile. The
    // thread sanitizer build checks that the sharing count is free of races.
    constexpr int kThreads = 4;
    auto pOriginal = std::make_unique<CRegMatcher>(L"^(.*)(localhost)(.*)", true);
    std::vector<std::unique_ptr<CRegMatcher>> copies;
    for (int i = 0; i < kThreads; ++i) {
        copies.push_back(std::make_unique<CRegMatcher>(*pOriginal));
    }
    std::vector<std::wstring> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::unique_ptr<CRegMatcher> pMine = std::move(copies[i]);
            const std::wstring strLine = L"Host: " + std::to_wstring(i) + L".LocalHost";
            for (int n = 0; n < 200; ++n) {
                CRegMatcher another(*pMine);
                if (!another.Match(strLine) || another.GetSubCount() != 3) {
                    return;
                }
                results[i] = another.GetSubString(1) + L"|" + another.GetSubString(2);
            }
        });
    }
    pOriginal.reset();
    for (std::thread& t : threads) {
        t.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], L"Host: " + std::to_wstring(i) + L".|LocalHost");
    }
}

}  // namespace
