// One match on a subject from the network must end, with bounded stack and work, whatever
// the pattern; the program's own patterns must still work on the longest lines.
#include "regexp/RegExecutor.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <string>

#include "regexp/RegMatcher.h"

namespace {

constexpr std::size_t kMiB = 1 << 20;

// A program compiled from the folded pattern, as CRegMatcher builds it with folding on.
std::unique_ptr<CRegProgram> CompiledFolded(std::u16string_view strPattern) {
    const std::u16string strFolded = CRegMatcher::FoldCase(strPattern);
    auto pProgram = std::make_unique<CRegProgram>();
    pProgram->Compile(strFolded.data(), strFolded.size());
    EXPECT_TRUE(pProgram->IsCompiled()) << pProgram->GetErrorText();
    return pProgram;
}

std::u16string Line(std::u16string_view strHead, std::size_t nFill, std::u16string_view strTail) {
    std::u16string strLine(strHead);
    strLine.append(nFill, u'a');
    strLine += strTail;
    return strLine;
}

TEST(RegLimit, RequestPatternOnAOneMebibyteLine) {
    const auto pProgram = CompiledFolded(u"^(GET|POST) (.*) HTTP/.*");
    const std::u16string strLine = Line(u"GET /", kMiB, u" x HTTP/1.1");
    ASSERT_TRUE(pProgram->Match(strLine.data(), strLine.size())) << pProgram->GetErrorText();
    EXPECT_EQ(pProgram->GetSubCount(), 2);
    EXPECT_EQ(pProgram->GetGroupStart(2), 4);
    EXPECT_EQ(pProgram->GetGroupEnd(2), static_cast<std::ptrdiff_t>(5 + kMiB + 2));
    // Far below the bound, so that the bound never refuses a real line.
    EXPECT_LT(pProgram->GetLastWork(), 20 * static_cast<std::int64_t>(strLine.size()));

    const std::u16string strNoVersion = Line(u"GET /", kMiB, u" x");
    EXPECT_FALSE(pProgram->Match(strNoVersion.data(), strNoVersion.size()));
    EXPECT_EQ(pProgram->GetErrorText(), L"");
    EXPECT_LT(pProgram->GetLastWork(), 20 * static_cast<std::int64_t>(strNoVersion.size()));
}

TEST(RegLimit, HostPatternOnAOneMebibyteLine) {
    const auto pProgram = CompiledFolded(u"^(.*)(localhost)(.*)");
    // Early: the greedy first group backtracks over the whole line to find it.
    const std::u16string strEarly = Line(u"Referer: http://localhost/", kMiB, u"");
    ASSERT_TRUE(pProgram->Match(strEarly.data(), strEarly.size())) << pProgram->GetErrorText();
    EXPECT_EQ(pProgram->GetGroupStart(2), 16);
    EXPECT_EQ(pProgram->GetGroupEnd(3), static_cast<std::ptrdiff_t>(strEarly.size()));
    EXPECT_LT(pProgram->GetLastWork(), 20 * static_cast<std::int64_t>(strEarly.size()));

    // Twice, one at each end: the last one wins.
    const std::u16string strTwice = Line(u"Host: localhost", kMiB, u"LOCALHOST:80");
    ASSERT_TRUE(pProgram->Match(strTwice.data(), strTwice.size()));
    EXPECT_EQ(pProgram->GetGroupStart(2), static_cast<std::ptrdiff_t>(15 + kMiB));

    // Many near misses and no hit.
    std::u16string strMisses;
    while (strMisses.size() < kMiB) {
        strMisses += u"localhos|";
    }
    EXPECT_FALSE(pProgram->Match(strMisses.data(), strMisses.size()));
    EXPECT_EQ(pProgram->GetErrorText(), L"");
    EXPECT_LT(pProgram->GetLastWork(), 20 * static_cast<std::int64_t>(strMisses.size()));
}

TEST(RegLimit, RepeatedGroupOnALongSubjectStopsAtTheDepthBound) {
    // Each repetition of a group nests the interpreter deeper; without a bound this
    // overflows the stack long before the end of the subject.
    CRegMatcher re(u"(ab)*$", false);
    std::u16string strSubject;
    for (std::size_t i = 0; i < kMiB / 2; ++i) {
        strSubject += u"ab";
    }
    EXPECT_FALSE(re.Match(strSubject));
    EXPECT_EQ(re.GetErrorText(), L"regexp recursion too deep");
    EXPECT_EQ(re.GetSubCount(), -1);
    // Below the bound the same pattern works, and the object is usable after a refusal.
    EXPECT_TRUE(re.Match(u"xabab"));
    EXPECT_EQ(re.GetErrorText(), L"");
    EXPECT_EQ(re.GetSubString(1), L"ab");
    EXPECT_EQ(re.GetSubStart(0), 1);
}

TEST(RegLimit, DepthBoundFitsInHalfAThreadStack) {
    // The deepest match allowed, on a thread with half the stack the program's threads get.
    struct SRun {
        static void* Deep(void* pResult) {
            CRegMatcher re(u"(ab)*$", false);
            std::u16string strSubject;
            for (int i = 0; i < 2 * kRegMaxDepth; ++i) {
                strSubject += u"ab";
            }
            re.Match(strSubject);
            *static_cast<std::wstring*>(pResult) = re.GetErrorText();
            return nullptr;
        }
    };
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 4 << 20), 0);
    std::wstring strResult;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, &SRun::Deep, &strResult), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(strResult, L"regexp recursion too deep");
}

TEST(RegLimit, ExponentialBacktrackingStopsAtTheWorkBound) {
    // The subject holds the must-have "b", so that the hint does not rule it out at once.
    CRegMatcher re(u"(a|a)*b", false);
    const std::u16string strSubject = std::u16string(60, u'a') + u"cb";
    EXPECT_FALSE(re.Match(strSubject));
    EXPECT_EQ(re.GetErrorText(), L"regexp match too costly");
    EXPECT_EQ(re.GetSubCount(), -1);
    EXPECT_TRUE(re.Match(u"aaab"));

    // Nested greedy groups over a long line: cubic without the bound.
    CRegMatcher nested(u"(.*)(.*)(.*)x$", false);
    const std::u16string strLong = u"x" + std::u16string(kMiB, u'y');
    EXPECT_FALSE(nested.Match(strLong));
    EXPECT_EQ(nested.GetErrorText(), L"regexp match too costly");
}

TEST(RegLimit, HostileLiteralsAndSetsStayLinear) {
    // A long must-have literal against a subject of near misses: a plain search would
    // compare the literal at every position.
    std::u16string strPattern = u".*";
    strPattern.append(30000, u'a');
    strPattern += u"b";
    CRegMatcher must(strPattern, false);
    ASSERT_TRUE(must.IsCompiled()) << must.GetErrorText();
    std::u16string strSubject(kMiB, u'a');
    EXPECT_FALSE(must.Match(strSubject));
    EXPECT_EQ(must.GetErrorText(), L"");
    // A shorter literal that is there: found at the very end.
    CRegMatcher found(u".*" + std::u16string(1000, u'a') + u"b", false);
    strSubject.back() = u'b';
    EXPECT_TRUE(found.Match(strSubject)) << found.GetErrorText();
    EXPECT_EQ(found.GetSubLength(0), static_cast<int>(kMiB));

    // The same literal compared in full at each position before the one that matches: a
    // quadratic search, stopped by the bound.
    std::u16string strLiteral = u"x*";
    strLiteral.append(30000, u'a');
    strLiteral += u"b";
    CRegMatcher literal(strLiteral, false);
    EXPECT_FALSE(literal.Match(std::u16string(kMiB, u'a') + u"b"));
    EXPECT_EQ(literal.GetErrorText(), L"regexp match too costly");

    // A set of thirty thousand members, scanned for each character of a long run.
    CRegMatcher set(u"[\x01-\x7530]*x", false);
    ASSERT_TRUE(set.IsCompiled()) << set.GetErrorText();
    EXPECT_FALSE(set.Match(u"x" + std::u16string(kMiB, u'\x7530')));
    EXPECT_EQ(set.GetErrorText(), L"regexp match too costly");
}

}  // namespace
