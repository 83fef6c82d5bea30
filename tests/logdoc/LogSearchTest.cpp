// Finding text in the spooled log: plain and pattern searches, forward and backward,
// counting, across appends, across the search's pieces and the spool's tail, cancellation.
#include "logdoc/LogSearch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "logdoc/TextScanner.h"

namespace {

constexpr std::uint64_t kAll = UINT64_MAX;

class LogSearchTest : public ::testing::Test {
protected:
    // Runs a search to its end in small steps, as the window's worker does.
    static EFindResult Next(CLogSearch& search, std::uint64_t nFrom, std::uint64_t nTo,
                            CFindMatch& match, std::uint64_t nBudget = 1 << 20) {
        for (;;) {
            std::uint64_t nResume = nFrom;
            const EFindResult result = search.FindNext(nFrom, nTo, nBudget, match, nResume);
            if (result != EFindResult::More) {
                return result;
            }
            EXPECT_GT(nResume, nFrom) << "a step must make progress";
            nFrom = nResume;
        }
    }
    static EFindResult Previous(CLogSearch& search, std::uint64_t nFrom, std::uint64_t nTo,
                                CFindMatch& match, std::uint64_t nBudget = 1 << 20) {
        for (;;) {
            std::uint64_t nResume = nTo;
            const EFindResult result = search.FindPrevious(nFrom, nTo, nBudget, match, nResume);
            if (result != EFindResult::More) {
                return result;
            }
            EXPECT_LT(nResume, nTo) << "a step must make progress";
            nTo = nResume;
        }
    }
    static std::uint64_t CountAll(CLogSearch& search, std::uint64_t nBudget = 1 << 20) {
        std::uint64_t nCount = 0;
        std::uint64_t nPos = 0;
        while (search.Count(nPos, kAll, nBudget, nCount, nPos) == EFindResult::More) {
        }
        return nCount;
    }
    // The starts of every match, found one after the other with Find Next.
    static std::vector<std::uint64_t> Starts(CLogSearch& search) {
        std::vector<std::uint64_t> starts;
        CFindMatch match;
        for (std::uint64_t nPos = 0; Next(search, nPos, kAll, match) == EFindResult::Found;
             nPos = match.nEnd) {
            starts.push_back(match.nStart);
        }
        return starts;
    }
    void Set(const std::string& text) {
        m_doc.Clear();
        m_doc.AppendUtf8(text, 2);
    }
    CLogSearch Plain(const std::string& text, bool bMatchCase = true) {
        return CLogSearch(m_doc, {text, bMatchCase, false});
    }
    CLogSearch Pattern(const std::string& text, bool bMatchCase = true) {
        return CLogSearch(m_doc, {text, bMatchCase, true});
    }

    CTempFolder m_dir;
    CLogDocument m_doc{m_dir.Path()};
};

TEST(TextScannerTest, FindsEveryPlaceNearTheVectorEdgesAndHonoursCase) {
    // The needle at every place of hays of every length around the 16-byte steps.
    for (std::size_t nHay = 3; nHay < 50; ++nHay) {
        for (std::size_t nAt = 0; nAt + 3 <= nHay; ++nAt) {
            std::string hay(nHay, 'a');
            hay.replace(nAt, 3, "aBc");
            EXPECT_EQ(CTextScanner("aBc", true).Find(hay, 0), nAt) << nHay;
            EXPECT_EQ(CTextScanner("AbC", false).Find(hay, 0), nAt) << nHay;
            EXPECT_EQ(CTextScanner("abc", true).Find(hay, 0), CTextScanner::npos) << nHay;
            EXPECT_EQ(CTextScanner("aBc", true).Find(hay, nAt + 1), CTextScanner::npos);
        }
    }
    // Only ASCII letters fold; the bytes of other characters must be the same.
    EXPECT_EQ(CTextScanner("caf\xC3\xA9", false).Find("CAF\xC3\xA9", 0), 0u);
    EXPECT_EQ(CTextScanner("caf\xC3\xA9", false).Find("CAF\xC3\x89", 0), CTextScanner::npos);
    EXPECT_EQ(CTextScanner("[", false).Find("{[", 0), 1u);  // '[' is not a letter
}

TEST_F(LogSearchTest, PlainTextAcrossAppendsLinesAndCase) {
    m_doc.AppendUtf8("1---<---\r\nGET /ind", 1);
    m_doc.AppendUtf8("ex.html HTTP/1.1\r\nHost: x\r\n", 2);
    CFindMatch match;
    CLogSearch across = Plain("/index.html");
    ASSERT_EQ(Next(across, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nStart, 14u);
    EXPECT_EQ(match.nEnd, 25u);
    // Plain text spans line breaks.
    CLogSearch breaks = Plain("1\r\nHost");
    ASSERT_EQ(Next(breaks, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(m_doc.ReadBytes(match.nStart, match.nEnd - match.nStart), "1\r\nHost");
    CLogSearch cased = Plain("get /INDEX");
    EXPECT_EQ(Next(cased, 0, kAll, match), EFindResult::NotFound);
    CLogSearch uncased = Plain("get /INDEX", false);
    ASSERT_EQ(Next(uncased, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nStart, 10u);
}

TEST_F(LogSearchTest, NextPreviousAndCountAgreeAndStayInTheirRange) {
    Set("aaaaa xx aa");
    CLogSearch search = Plain("aa");
    EXPECT_EQ(Starts(search), (std::vector<std::uint64_t>{0, 2, 9}));
    EXPECT_EQ(CountAll(search), 3u);
    CFindMatch match;
    ASSERT_EQ(Previous(search, 0, 9, match), EFindResult::Found);
    EXPECT_EQ(match.nStart, 3u);  // the last start below 9, overlapping or not
    ASSERT_EQ(Previous(search, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nStart, 9u);
    EXPECT_EQ(Previous(search, 4, 9, match), EFindResult::NotFound);
    EXPECT_EQ(Next(search, 4, 9, match), EFindResult::NotFound);
    ASSERT_EQ(Next(search, 1, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nStart, 1u);

    CLogSearch none = Plain("zz");
    EXPECT_EQ(Next(none, 0, kAll, match), EFindResult::NotFound);
    EXPECT_EQ(Previous(none, 0, kAll, match), EFindResult::NotFound);
    EXPECT_EQ(CountAll(none), 0u);
    EXPECT_FALSE(Plain("").IsValid());
}

TEST_F(LogSearchTest, MatchesAtEveryOffsetAroundThePiecesAndTheSpoolTail) {
    // The needle cut by the search's 4 MiB pieces and by the boundary of the log's first
    // memory chunk (where the text moves to the next chunk, and later to the spool), at
    // every offset around both.
    const std::string needle = "NEEDLE";
    const std::uint64_t nChunk = CLogSearch::kChunkBytes;
    const std::uint64_t nSpooled = CLogDocument::kChunkBytes;
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t nEdge : {nChunk, nSpooled}) {
        for (std::uint64_t d = 0; d <= needle.size() + 1; ++d) {
            offsets.push_back(nEdge - needle.size() - 1 + d);
        }
    }
    std::string text(nChunk + 3000, '.');
    for (const std::uint64_t nAt : offsets) {
        std::string copy = text;
        copy.replace(nAt, needle.size(), needle);
        m_doc.Clear();
        for (std::size_t i = 0; i < copy.size(); i += 1000) {
            m_doc.AppendUtf8(std::string_view(copy).substr(i, 1000), 2);
        }
        for (const bool bRegex : {false, true}) {
            CLogSearch search(m_doc, {bRegex ? "NE+DLE" : "needle", bRegex, bRegex});
            CFindMatch match;
            ASSERT_EQ(Next(search, 0, kAll, match), EFindResult::Found) << nAt << bRegex;
            EXPECT_EQ(match.nStart, nAt);
            EXPECT_EQ(match.nEnd, nAt + needle.size());
            ASSERT_EQ(Previous(search, 0, kAll, match), EFindResult::Found) << nAt;
            EXPECT_EQ(match.nStart, nAt);
            EXPECT_EQ(CountAll(search, 100000), 1u) << nAt << bRegex;
            EXPECT_EQ(Next(search, nAt + 1, kAll, match), EFindResult::NotFound);
        }
    }
}

TEST_F(LogSearchTest, PatternsMatchWithinOneLine) {
    Set("GET /a HTTP/1.1\r\nhost: x\r\nget /b HTTP/1.0\nPOST /c HTTP/1.1\rlast");
    CLogSearch requests = Pattern("^(GET|POST) [^ ]* HTTP/1\\.1$");
    std::vector<std::uint64_t> starts = Starts(requests);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(m_doc.ReadBytes(starts[1], 4), "POST");
    CLogSearch folded = Pattern("^get /[a-z]", false);
    EXPECT_EQ(Starts(folded).size(), 2u);
    // A match never spans a line break, and '.' does not reach into the next line.
    CLogSearch across = Pattern("1\\.1.*host");
    CFindMatch match;
    EXPECT_EQ(Next(across, 0, kAll, match), EFindResult::NotFound);
    CLogSearch tail = Pattern("1\\.1.*");
    ASSERT_EQ(Next(tail, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nEnd, 15u);  // up to the CR
    // Empty matches are never reported: "x*" finds only the x.
    CLogSearch empty = Pattern("x*");
    EXPECT_EQ(Starts(empty), (std::vector<std::uint64_t>{23}));
    // The last line without a break, and backwards through lines.
    CLogSearch last = Pattern("la.t$");
    ASSERT_EQ(Previous(last, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nEnd, m_doc.GetSize());
    ASSERT_EQ(Previous(requests, 0, starts[1], match), EFindResult::Found);
    EXPECT_EQ(match.nStart, 0u);

    CLogSearch bad = Pattern("abc)");
    EXPECT_FALSE(bad.IsValid());
    EXPECT_EQ(bad.GetErrorText(), L"unmatched ()");
}

TEST_F(LogSearchTest, PatternOffsetsAreBytesOfTheUtf8Text) {
    Set("\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 caf\xC3\xA9\xC3\xA9!");
    CLogSearch search = Pattern("f\xC3\xA9+!");
    CFindMatch match;
    ASSERT_EQ(Next(search, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(m_doc.ReadBytes(match.nStart, match.nEnd - match.nStart), "f\xC3\xA9\xC3\xA9!");
    CLogSearch any = Pattern(" . ");  // one character, four bytes, two UTF-16 units... no:
    // the emoji is two UTF-16 units, so '.' alone does not take it; '..' does.
    EXPECT_EQ(Next(any, 0, kAll, match), EFindResult::NotFound);
    CLogSearch two = Pattern(" .. ");
    ASSERT_EQ(Next(two, 0, kAll, match), EFindResult::Found);
    EXPECT_EQ(match.nEnd - match.nStart, 6u);
}

TEST_F(LogSearchTest, LongLinesAreMatchedInSegmentsWithoutFalseLineStarts) {
    const std::uint64_t nSeg = CLogSearch::kRegexSegmentBytes;
    std::string line(3 * nSeg, 'z');
    // Words across the first cut (at 2 segments: the line starts at 0, so at nSeg) and one
    // right at a cut, where '^' must not match.
    line.replace(nSeg - 3, 6, "abcdef");
    line.replace(2 * nSeg, 3, "abc");
    Set(line + "\nabc tail");
    CLogSearch words = Pattern("abc");
    EXPECT_EQ(Starts(words), (std::vector<std::uint64_t>{nSeg - 3, 2 * nSeg, 3 * nSeg + 1}));
    CLogSearch anchored = Pattern("^abc");
    EXPECT_EQ(Starts(anchored), (std::vector<std::uint64_t>{3 * nSeg + 1}));
    CLogSearch across = Pattern("zabcdefz");
    EXPECT_EQ(Starts(across), (std::vector<std::uint64_t>{nSeg - 4}));
    EXPECT_EQ(CountAll(words, 4096), 3u);
}

TEST_F(LogSearchTest, OverlappingMatchesForTheScreenAndTheSettledEnd) {
    Set("one two\r\nthree two\r\ntwo");
    CLogSearch search = Plain("two");
    const std::vector<CFindMatch> shown = search.FindOverlapping(5, 16, 10);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].nStart, 4u);  // starts before the range, ends in it
    EXPECT_EQ(shown[1].nStart, 15u);
    EXPECT_EQ(search.FindOverlapping(0, kAll, 1).size(), 1u);
    EXPECT_EQ(search.SettledEnd(m_doc.GetSize()), m_doc.GetSize() - 2);
    CLogSearch pattern = Pattern("t[wh]");
    EXPECT_EQ(pattern.FindOverlapping(10, 12, 10).size(), 1u);
    EXPECT_EQ(pattern.SettledEnd(m_doc.GetSize()), 20u);  // the last line may still grow
}

TEST_F(LogSearchTest, ClearingTheLogEndsASearchThatIsUnderWay) {
    Set(std::string(3 * CLogSearch::kChunkBytes, 'x'));
    for (const bool bRegex : {false, true}) {
        CLogSearch search(m_doc, {"y", true, bRegex});
        CFindMatch match;
        std::uint64_t nResume = 0;
        ASSERT_EQ(search.FindNext(0, kAll, 1, match, nResume), EFindResult::More);
        m_doc.Clear();
        m_doc.AppendUtf8(std::string(3 * CLogSearch::kChunkBytes, 'y'), 2);
        EXPECT_EQ(search.FindNext(nResume, kAll, 1, match, nResume), EFindResult::Changed);
        std::uint64_t nCount = 0;
        EXPECT_EQ(search.Count(0, kAll, kAll, nCount, nResume), EFindResult::Changed);
        EXPECT_EQ(search.FindPrevious(0, kAll, kAll, match, nResume), EFindResult::Changed);
        Set(std::string(3 * CLogSearch::kChunkBytes, 'x'));
    }
}

}  // namespace
