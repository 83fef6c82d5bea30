// Which direction the text of the log was relayed in: every block's text (its marker line
// and data) found for any range, also past the records' in-memory tail, cut to the range,
// with the log's own lines between blocks in no run.
#include <gtest/gtest.h>

#include "TempFolder.h"
#include "logdoc/DirectionRuns.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

struct CExpected {
    std::uint64_t nStart;
    std::uint64_t nEnd;
    LogDirection direction;
};

// A block of `data` in `direction`; its text range in the log.
CExpected AppendBlock(CLogDocument& doc, LogDirection direction, const std::string& data) {
    const std::uint64_t nStart = doc.GetSize();
    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    record.nSessionId = 1;
    record.direction = direction;
    doc.OnLogRecord(record);
    doc.AppendUtf8("\r\n1---<---", LOG_STYLE_BOLD);
    doc.AppendUtf8(data, LOG_STYLE_PLAIN);
    record.kind = LogRecordKind::Block;
    record.bytes = data;
    doc.OnLogRecord(record);
    return {nStart, doc.GetSize(), direction};
}

TEST(DirectionRunsTest, BlocksAreFoundInAnyRangeAndTheLinesBetweenInNone) {
    CTempFolder folder;
    CLogDocument doc(folder.Path());
    std::vector<CExpected> blocks;
    // Enough blocks to reach past the in-memory tail of the records; after every third a
    // line of the log's own.
    const int nBlocks = static_cast<int>(CBlockRecords::kTailRecords) + 300;
    for (int n = 0; n < nBlocks; ++n) {
        blocks.push_back(AppendBlock(
            doc, n % 2 == 0 ? LogDirection::ClientToServer : LogDirection::ServerToClient,
            "data " + std::to_string(n)));
        if (n % 3 == 2) {
            doc.AppendUtf8("\r\nSession 1: something happened", LOG_STYLE_PLAIN);
        }
    }
    std::vector<directionruns::CDirectionRun> runs;
    for (const std::size_t nFirst : {std::size_t{0}, std::size_t{5}, std::size_t{1100}}) {
        // From the middle of block nFirst to the middle of block nFirst + 7.
        const std::uint64_t nFrom = (blocks[nFirst].nStart + blocks[nFirst].nEnd) / 2;
        const std::uint64_t nTo = (blocks[nFirst + 7].nStart + blocks[nFirst + 7].nEnd) / 2;
        directionruns::BlockRuns(doc.GetRecords(), nFrom, nTo, runs);
        ASSERT_EQ(8u, runs.size()) << nFirst;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const CExpected& block = blocks[nFirst + i];
            EXPECT_EQ(std::max(block.nStart, nFrom), runs[i].nStart);
            EXPECT_EQ(std::min(block.nEnd, nTo), runs[i].nEnd);
            EXPECT_EQ(block.direction, runs[i].direction);
        }
    }
    // A range of the log's own line only: no runs.
    const std::uint64_t nLineStart = blocks[2].nEnd;
    directionruns::BlockRuns(doc.GetRecords(), nLineStart + 2, blocks[3].nStart, runs);
    EXPECT_TRUE(runs.empty());
    directionruns::BlockRuns(doc.GetRecords(), 10, 10, runs);
    EXPECT_TRUE(runs.empty());
}

}  // namespace
