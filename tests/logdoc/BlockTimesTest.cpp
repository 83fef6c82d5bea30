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
