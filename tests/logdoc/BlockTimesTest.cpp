// The times beside marker lines: found for any window of lines, with CR LF or LF breaks,
// past the in-memory tail of the records, and written as local clock time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "TempFolder.h"
#include "logdoc/BlockTimes.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

// A block whose text is its marker line and `nDataLines` lines of data.
void AppendBlock(CLogDocument& doc, std::uint64_t nId, int nDataLines, std::int64_t nTimeUs,
                 const char* pszBreak = "\r\n") {
    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    record.nSessionId = nId;
    doc.OnLogRecord(record);
    doc.AppendUtf8(std::string(pszBreak) + std::to_string(nId) + "---<---", LOG_STYLE_BOLD);
    std::string data;
    for (int n = 0; n < nDataLines; ++n) {
        data += "data" + std::string(pszBreak);
    }
    doc.AppendUtf8(data, LOG_STYLE_PLAIN);
    record.kind = LogRecordKind::Block;
    record.nTimeUs = nTimeUs;
    record.bytes = data;
    doc.OnLogRecord(record);
}

TEST(BlockTimesTest, MarkerLinesGetTheirBlocksTimesInAnyWindow) {
    for (const char* pszBreak : {"\r\n", "\n"}) {
        CTempFolder folder;
        CLogDocument doc(folder.Path());
        doc.AppendUtf8("header line", LOG_STYLE_PLAIN);
        // Enough blocks to reach past the records' in-memory tail into their spool. Block
        // n has n % 3 data lines. The lines: the header, then per block its marker line
        // (which holds its first data line), its other data lines and, after data that
        // ends in a break, the empty line that the next marker's break ends.
        const int nBlocks = static_cast<int>(CBlockRecords::kTailRecords) + 300;
        std::vector<std::int64_t> expected(1, blocktimes::kNoTime);
        for (int n = 0; n < nBlocks; ++n) {
            AppendBlock(doc, 1, n % 3, 1000 + n, pszBreak);
            expected.push_back(1000 + n);
            for (int k = 0; k < n % 3; ++k) {
                expected.push_back(blocktimes::kNoTime);
            }
        }
        ASSERT_EQ(expected.size(), doc.GetLineCount());
        std::vector<std::int64_t> times;
        for (std::uint64_t nFirst :
             std::vector<std::uint64_t>{0, 1, 2, 777, 1500, expected.size() - 5}) {
            blocktimes::MarkerTimes(doc, nFirst, 40, times);
            ASSERT_FALSE(times.empty());
            for (std::size_t i = 0; i < times.size() && nFirst + i < expected.size(); ++i) {
                ASSERT_EQ(expected[nFirst + i], times[i])
                    << "line " << nFirst + i << " break " << int(pszBreak[0]);
            }
        }
        // Past the end: nothing.
        blocktimes::MarkerTimes(doc, doc.GetLineCount() + 3, 10, times);
        EXPECT_TRUE(times.empty());
        EXPECT_EQ(0u, blocktimes::FirstBlockFrom(doc.GetRecords(), 0));
        EXPECT_EQ(static_cast<std::uint64_t>(nBlocks),
                  blocktimes::FirstBlockFrom(doc.GetRecords(), doc.GetSize() + 1));
    }
}

// A session's start or stop record, then its line, as the relay writes them.
void AppendSessionLine(CLogDocument& doc, LogRecordKind kind, std::uint64_t nId,
                       std::int64_t nTimeUs, const std::string& strLine) {
    CLogRecord record;
    record.kind = kind;
    record.nSessionId = nId;
    record.nTimeUs = nTimeUs;
    doc.OnLogRecord(record);
    doc.AppendUtf8("\r\n" + strLine, LOG_STYLE_BOLD);
    doc.AppendUtf8("", LOG_STYLE_PLAIN);
}

TEST(BlockTimesTest, SessionStartAndStopLinesGetTheirTimes) {
    CTempFolder folder;
    CLogDocument doc(folder.Path());
    AppendSessionLine(doc, LogRecordKind::SessionStart, 1, 500, "Session 0 starts.");
    AppendBlock(doc, 1, 1, 600);
    AppendSessionLine(doc, LogRecordKind::SessionStart, 2, 650, "Session 1 starts.");
    AppendBlock(doc, 2, 2, 700);
    AppendSessionLine(doc, LogRecordKind::SessionEnd, 1, 800, "Session 0 stopped.");
    AppendSessionLine(doc, LogRecordKind::SessionEnd, 2, 900, "Session 1 stopped.");
    // Lines: "", "Session 0 starts.", marker 1 with its data, "", "Session 1 starts.",
    // marker 2 with data, data, "", "Session 0 stopped.", "Session 1 stopped.".
    const std::vector<std::int64_t> expected = {
        blocktimes::kNoTime, 500, 600, blocktimes::kNoTime, 650, 700, blocktimes::kNoTime,
        blocktimes::kNoTime, 800, 900};
    ASSERT_EQ(expected.size(), doc.GetLineCount());
    std::vector<std::int64_t> times;
    for (std::uint64_t nFirst = 0; nFirst < expected.size(); ++nFirst) {
        blocktimes::MarkerTimes(doc, nFirst, 4, times);
        for (std::size_t i = 0; i < times.size(); ++i) {
            ASSERT_EQ(expected[nFirst + i], times[i]) << "line " << nFirst + i;
        }
    }
    // New forgets them with the text.
    doc.Clear();
    AppendBlock(doc, 3, 0, 1000);
    blocktimes::MarkerTimes(doc, 0, 4, times);
    EXPECT_EQ((std::vector<std::int64_t>{blocktimes::kNoTime, 1000}), times);
}

TEST(BlockTimesTest, TimesAreLocalClockTimeWithMilliseconds) {
    const char* pszOld = std::getenv("TZ");
    const std::string strOld = pszOld != nullptr ? pszOld : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 2026-12-07 19:44:39.123456 UTC
    EXPECT_EQ("19:44:39.123", blocktimes::FormatTime(1796672679123456));
    EXPECT_EQ("00:00:00.000", blocktimes::FormatTime(0));
    EXPECT_EQ("23:59:59.999", blocktimes::FormatTime(-1));  // before 1970: still a time
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    EXPECT_EQ("14:44:39.123", blocktimes::FormatTime(1796672679123456));
    if (pszOld != nullptr) {
        ::setenv("TZ", strOld.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace
