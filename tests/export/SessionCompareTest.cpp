// Comparing two sessions block by block, and the session's text as the log shows it.
#include <gtest/gtest.h>

#include "ExportTestSupport.h"
#include "TempFolder.h"
#include "export/SessionCompare.h"
#include "export/SessionText.h"

namespace {

constexpr auto kUp = LogDirection::ClientToServer;
constexpr auto kDown = LogDirection::ServerToClient;

TEST(CommonEndsTest, MarksOnlyTheChangedRun) {
    std::uint32_t p = 0;
    std::uint32_t s = 0;
    CommonEnds("Date: Tue 08 Dec", "Date: Wed 09 Dec", p, s);
    EXPECT_EQ(6u, p);                       // "Date: "
    EXPECT_EQ(4u, s);                       // " Dec"
    CommonEnds("abcdef", "abcXdef", p, s);  // an inserted byte
    EXPECT_EQ(3u, p);
    EXPECT_EQ(3u, s);
    CommonEnds("aaaa", "aa", p, s);  // prefix and suffix never overlap
    EXPECT_EQ(2u, p);
    EXPECT_EQ(0u, s);
    CommonEnds("", "x", p, s);
    EXPECT_EQ(0u, p);
    EXPECT_EQ(0u, s);
}

std::vector<std::string> Runs(const CDiffRuns& runs, int nSide, std::string_view bytes) {
    std::vector<std::string> out;
    for (const auto& [nFrom, nTo] : runs.runs[nSide]) {
        out.emplace_back(bytes.substr(nFrom, nTo - nFrom));
    }
    return out;
}

// Each changed run is marked as itself, however far apart the runs are; what is alike
// between them is not.
TEST(DifferingRunsTest, MarksEachChangeOnItsOwn) {
    const std::string a = "{\"state\":\"ready\",\"queue\":3,\"version\":\"2.4.1\"}";
    const std::string b = "{\"state\":\"busy\",\"queue\":17,\"version\":\"2.4.1\"}";
    const CDiffRuns r = DifferingRuns(a, b);
    // The 'y' of both words is alike, and stays unmarked.
    EXPECT_EQ((std::vector<std::string>{"read", "3"}), Runs(r, 0, a));
    EXPECT_EQ((std::vector<std::string>{"bus", "17"}), Runs(r, 1, b));

    const std::string c = "Date: 04:12:31 GMT\r\n";
    const std::string d = "Date: 04:13:02 GMT\r\n";
    const CDiffRuns t = DifferingRuns(c, d);
    EXPECT_EQ((std::vector<std::string>{"2:31"}), Runs(t, 0, c));
    EXPECT_EQ((std::vector<std::string>{"3:02"}), Runs(t, 1, d));

    // Inserted and removed bytes: a run on one side only.
    const CDiffRuns ins = DifferingRuns("GET /a HTTP/1.1", "GET /abc HTTP/1.1");
    EXPECT_TRUE(ins.runs[0].empty());
    ASSERT_EQ(1u, ins.runs[1].size());
    EXPECT_EQ(std::make_pair(std::size_t{6}, std::size_t{8}), ins.runs[1][0]);
    EXPECT_TRUE(DifferingRuns("same", "same").runs[0].empty());

    // Unrelated bytes: everything marked, in pieces of the search window at most apart.
    std::string x(300, 'x');
    std::string y(200, 'y');
    const CDiffRuns all = DifferingRuns(x, y);
    ASSERT_EQ(1u, all.runs[0].size());
    EXPECT_EQ(std::make_pair(std::size_t{0}, std::size_t{300}), all.runs[0][0]);
    EXPECT_EQ(std::make_pair(std::size_t{0}, std::size_t{200}), all.runs[1][0]);

    // A middle beyond the fine limit: one span.
    std::string big(CDiffRuns::kFineLimit + 10, 'a');
    std::string other = big;
    other[5] = 'b';
    other[CDiffRuns::kFineLimit + 5] = 'b';
    const CDiffRuns span = DifferingRuns(big, other);
    ASSERT_EQ(1u, span.runs[0].size());
    EXPECT_EQ(std::make_pair(std::size_t{5}, CDiffRuns::kFineLimit + 6), span.runs[0][0]);
}

class SessionCompareTest : public ::testing::Test {
protected:
    CTempFolder m_folder;
    CLogDocument m_doc{m_folder.Path()};
    test::CLogScript m_script{m_doc};
};

// Two runs of one exchange, interleaved in the log: the request is alike, the second
// answer block differs, and the second run has a block more.
TEST_F(SessionCompareTest, FindsTheFirstDifferenceInLogOrder) {
    m_script.Start(1);
    m_script.Start(2);
    m_script.Block(1, kUp, "GET / HTTP/1.1\r\n\r\n");
    m_script.Block(2, kUp, "GET / HTTP/1.1\r\n\r\n");
    m_script.Block(1, kDown, "HTTP/1.1 200 OK\r\n");
    m_script.Block(2, kDown, "HTTP/1.1 200 OK\r\n");
    m_script.Block(1, kDown, "Date: Tue 08 Dec\r\n\r\n");
    m_script.Block(2, kDown, "Date: Wed 09 Dec\r\n\r\n");
    m_script.Block(2, kDown, "extra");
    m_script.End(1);
    m_script.End(2);

    CSessionComparison c;
    std::uint64_t nLastDone = 0;
    ASSERT_EQ(0,
              CompareSessions(m_doc.GetRecords(), 0, 1, c, [&](std::uint64_t n, std::uint64_t t) {
                  EXPECT_LE(n, t);
                  nLastDone = n;
                  return true;
              }));
    ASSERT_EQ(1u, c.pairs[0].size());
    EXPECT_TRUE(c.pairs[0][0].Same());
    ASSERT_EQ(3u, c.pairs[1].size());
    EXPECT_TRUE(c.pairs[1][0].Same());
    EXPECT_FALSE(c.pairs[1][1].Same());
    EXPECT_EQ(6u, c.pairs[1][1].nPrefix);
    EXPECT_EQ(8u, c.pairs[1][1].nSuffix);
    EXPECT_EQ(CBlockPair::kNone, c.pairs[1][2].nBlock[0]);
    EXPECT_EQ(5u, c.pairs[1][2].nLength[1]);
    EXPECT_EQ(0u, c.nDifferent[0]);
    EXPECT_EQ(2u, c.nDifferent[1]);
    EXPECT_EQ(1, c.nFirstDirection);
    EXPECT_EQ(1u, c.nFirstPair);
    std::string a;
    std::string b;
    ASSERT_TRUE(ReadPairSide(m_doc.GetRecords(), c.pairs[1][1], 0, a));
    ASSERT_TRUE(ReadPairSide(m_doc.GetRecords(), c.pairs[1][1], 1, b));
    EXPECT_EQ("Date: Tue 08 Dec\r\n\r\n", a);
    EXPECT_EQ("Date: Wed 09 Dec\r\n\r\n", b);
    ASSERT_TRUE(ReadPairSide(m_doc.GetRecords(), c.pairs[1][2], 0, a));
    EXPECT_TRUE(a.empty());

    // A session compared with itself: all alike. Cancelling stops it; an unknown row fails.
    ASSERT_EQ(0, CompareSessions(m_doc.GetRecords(), 1, 1, c));
    EXPECT_EQ(-1, c.nFirstDirection);
    EXPECT_EQ(3u, c.pairs[1].size());
    EXPECT_EQ(ECANCELED, CompareSessions(m_doc.GetRecords(), 0, 1, c,
                                         [](std::uint64_t, std::uint64_t) { return false; }));
    EXPECT_EQ(ENOENT, CompareSessions(m_doc.GetRecords(), 0, 7, c));
}

// The client's side differs first in the log: it is named first even though the server's
// side has a difference too.
TEST_F(SessionCompareTest, TheEarlierDirectionIsFirst) {
    m_script.Start(1);
    m_script.Block(1, kUp, "a");
    m_script.Block(1, kDown, "x");
    m_script.Block(1, kUp, "b");
    m_script.End(1);
    m_script.Start(2);
    m_script.Block(2, kUp, "a");
    m_script.Block(2, kDown, "y");
    m_script.Block(2, kUp, "c");
    m_script.End(2);
    CSessionComparison c;
    ASSERT_EQ(0, CompareSessions(m_doc.GetRecords(), 0, 1, c));
    EXPECT_EQ(1, c.nFirstDirection);  // "x" comes before "b" in the log
    EXPECT_EQ(0u, c.nFirstPair);
    EXPECT_EQ(1u, c.nDifferent[0]);
}

TEST_F(SessionCompareTest, SessionTextIsItsBlocksUnderTheirMarkers) {
    m_script.Start(1);
    m_script.Start(2);
    m_script.Block(1, kUp, "hello\nworld");
    m_script.Block(2, kUp, "other");
    m_script.Block(1, kDown, "answer");
    m_script.End(1);
    m_script.End(2);
    EXPECT_EQ("1---<---\nhello\nworld\n1--->---\nanswer", SessionText(m_doc, 0, "\n"));
    EXPECT_EQ("2---<---\r\nother", SessionText(m_doc, 1, "\r\n"));
    // Cut at a block's end when it is too long.
    EXPECT_EQ("1---<---\nhello\nworld", SessionText(m_doc, 0, "\n", 25));
    ASSERT_EQ(0, SaveSessionText(m_doc, 0, m_folder.Path("s.txt")));
    EXPECT_EQ("1---<---\r\nhello\r\nworld\r\n1--->---\r\nanswer", m_folder.ReadFile("s.txt"));
    EXPECT_EQ(ENOENT, SaveSessionText(m_doc, 9, m_folder.Path("none.txt")));
    EXPECT_NE(0, SaveSessionText(m_doc, 0, m_folder.Path("no/such/folder.txt")));
}

}  // namespace
