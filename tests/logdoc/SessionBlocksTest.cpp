// The blocks of one session read back from the log's records for a resend.
#include <gtest/gtest.h>

#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "logdoc/SessionBlocks.h"
#include "module/Messages.h"

namespace {

void Block(CLogDocument& doc, std::uint64_t nId, LogDirection direction, std::string_view bytes,
           std::int64_t nTimeUs) {
    CLogRecord begin;
    begin.kind = LogRecordKind::BlockBegin;
    begin.nSessionId = nId;
    doc.OnLogRecord(begin);
    doc.AppendLogBytes(bytes, LOG_STYLE_PLAIN);
    CLogRecord r;
    r.kind = LogRecordKind::Block;
    r.nSessionId = nId;
    r.nSession = static_cast<long>(nId);
    r.nTimeUs = nTimeUs;
    r.direction = direction;
    r.bytes = bytes;
    doc.OnLogRecord(r);
}

TEST(SessionBlocksTest, ReadsOneSessionsBlocksAmongOthers) {
    CTempFolder folder;
    CLogDocument doc(folder.Path());
    for (std::uint64_t nId : {1, 2}) {
        CLogRecord start;
        start.kind = LogRecordKind::SessionStart;
        start.nSessionId = nId;
        doc.OnLogRecord(start);
    }
    const std::string binary("\0\xff\r\n", 4);
    Block(doc, 1, LogDirection::ClientToServer, "one", 10);
    Block(doc, 2, LogDirection::ClientToServer, "other", 11);
    Block(doc, 1, LogDirection::ServerToClient, "answer", 12);
    Block(doc, 1, LogDirection::ClientToServer, binary, 13);
    Block(doc, 2, LogDirection::ServerToClient, "x", 14);

    std::vector<CRecordedBlock> blocks;
    ASSERT_EQ(0, ReadSessionBlocks(doc.GetRecords(), 0, true, blocks));
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ("one", blocks[0].bytes);
    EXPECT_EQ(10, blocks[0].nTimeUs);
    EXPECT_EQ(binary, blocks[1].bytes);
    EXPECT_EQ(13, blocks[1].nTimeUs);

    ASSERT_EQ(0, ReadSessionBlocks(doc.GetRecords(), 0, false, blocks));
    ASSERT_EQ(3u, blocks.size());
    EXPECT_EQ("answer", blocks[1].bytes);
    EXPECT_EQ(LogDirection::ServerToClient, blocks[1].direction);

    EXPECT_EQ(ENOENT, ReadSessionBlocks(doc.GetRecords(), 7, true, blocks));
    // More than the limit: refused as a whole, nothing half read.
    EXPECT_EQ(EFBIG, ReadSessionBlocks(doc.GetRecords(), 0, true, blocks, 5));
    EXPECT_TRUE(blocks.empty());
}

}  // namespace
