// The block records and their raw bytes: kept in order across the spools' in-memory
// tails and files, read back whole, emptied with the log.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <random>

#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "logdoc/SessionExport.h"
#include "module/Messages.h"

namespace {

CLogRecord BlockRecord(std::uint64_t nId, LogDirection direction, std::string_view bytes) {
    CLogRecord r;
    r.kind = LogRecordKind::Block;
    r.nSessionId = nId;
    r.nSession = static_cast<long>(nId);
    r.nTimeUs = static_cast<std::int64_t>(nId) * 10;
    r.direction = direction;
    r.bytes = bytes;
    return r;
}

// Appends a block as the relay does: begin, marker, bytes, record.
void AppendBlock(CLogDocument& doc, std::uint64_t nId, LogDirection direction,
                 std::string_view bytes) {
    CLogRecord begin;
    begin.kind = LogRecordKind::BlockBegin;
    begin.nSessionId = nId;
    doc.OnLogRecord(begin);
    doc.AppendLog(L"\r\n" + std::to_wstring(nId) +
                      (direction == LogDirection::ClientToServer ? L"---<---" : L"--->---"),
                  LOG_STYLE_BOLD);
    doc.AppendLogBytes(bytes, LOG_STYLE_PLAIN);
    doc.OnLogRecord(BlockRecord(nId, direction, bytes));
}

// In HTTP mode a session's marker line is written before its request arrives, so another
// session's whole block may come in between: each block still starts at its own marker.
TEST(BlockRecordsTest, InterleavedBlocksStartAtTheirOwnMarkers) {
    CTempFolder folder;
    CLogDocument doc(folder.Path());
    CLogRecord begin;
    begin.kind = LogRecordKind::BlockBegin;
    begin.nSessionId = 1;
    doc.OnLogRecord(begin);
    const std::uint64_t nMarker1 = doc.GetSize();
    doc.AppendLog(L"\r\n1---<---", LOG_STYLE_BOLD);
    AppendBlock(doc, 2, LogDirection::ClientToServer, "GET /two HTTP/1.1\r\n\r\n");
    doc.AppendLogBytes("GET /one HTTP/1.1\r\n\r\n", LOG_STYLE_PLAIN);
    doc.OnLogRecord(BlockRecord(1, LogDirection::ClientToServer, "GET /one HTTP/1.1\r\n\r\n"));
    // A marker whose request never comes, then the session's end; the next block of
    // another session starts at its own marker.
    begin.nSessionId = 3;
    doc.OnLogRecord(begin);
    doc.AppendLog(L"\r\n3---<---", LOG_STYLE_BOLD);
    CLogRecord end;
    end.kind = LogRecordKind::SessionEnd;
    end.nSessionId = 3;
    doc.OnLogRecord(end);
    const std::uint64_t nMarker4 = doc.GetSize();
    AppendBlock(doc, 4, LogDirection::ServerToClient, "HTTP/1.1 200 OK\r\n\r\n");

    std::vector<CBlockRecord> all;
    ASSERT_TRUE(doc.GetRecords().ReadBlocks(0, 10, all));
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("\r\n2---<---", doc.ReadBytes(all[0].nTextStart, 10));
    EXPECT_EQ(nMarker1, all[1].nTextStart);
    EXPECT_EQ("\r\n1---<---", doc.ReadBytes(all[1].nTextStart, 10));
    EXPECT_EQ(nMarker4, all[2].nTextStart);
}

TEST(BlockRecordsTest, BytesAndPlacesComeBackAcrossTheSpools) {
    CTempFolder folder;
    CLogDocument doc(folder.Path());
    std::mt19937 random(3);
    std::vector<std::string> blocks;
    // Enough blocks to spill the record tail, and sizes below, at and above a chunk of the raw
    // spool.
    const std::size_t nBlocks = CBlockRecords::kTailRecords * 2 + 17;
    for (std::size_t n = 0; n < nBlocks; ++n) {
        std::size_t nSize = random() % 3000;
        if (n == 5) {
            nSize = CRawSpool::kChunk + 1;
        } else if (n == 6) {
            nSize = CRawSpool::kChunk;
        } else if (n == 7) {
            nSize = 0;
        }
        std::string bytes(nSize, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        blocks.push_back(std::move(bytes));
        AppendBlock(doc, 1 + n % 3,
                    n % 2 == 0 ? LogDirection::ClientToServer : LogDirection::ServerToClient,
                    blocks.back());
    }
    const CBlockRecords& records = doc.GetRecords();
    EXPECT_EQ(0, records.GetError());
    ASSERT_EQ(nBlocks, records.GetBlockCount());
    std::vector<CBlockRecord> all;
    ASSERT_TRUE(records.ReadBlocks(0, nBlocks + 10, all));
    ASSERT_EQ(nBlocks, all.size());
    std::string bytes;
    std::uint64_t nTextEnd = 0;
    for (std::size_t n = 0; n < nBlocks; ++n) {
        ASSERT_TRUE(records.ReadRaw(all[n], bytes)) << n;
        ASSERT_TRUE(bytes == blocks[n]) << "block " << n;
        EXPECT_EQ(n % 2, all[n].nDirection);
        // The text range begins with the block's marker line and follows the last one.
        EXPECT_EQ(nTextEnd, all[n].nTextStart);
        nTextEnd = all[n].nTextStart + all[n].nTextLength;
        const std::string marker = "\r\n" + std::to_string(1 + n % 3);
        EXPECT_EQ(marker, doc.ReadBytes(all[n].nTextStart, marker.size())) << n;
    }
    EXPECT_EQ(doc.GetSize(), nTextEnd);
    // Reading from the middle gives the same records.
    std::vector<CBlockRecord> some;
    ASSERT_TRUE(records.ReadBlocks(CBlockRecords::kTailRecords - 2, 4, some));
    ASSERT_EQ(4u, some.size());
    EXPECT_EQ(all[CBlockRecords::kTailRecords - 2].nRawOffset, some[0].nRawOffset);
    EXPECT_EQ(all[CBlockRecords::kTailRecords + 1].nTextStart, some[3].nTextStart);

    // The bytes of one session, each direction in its own file, and its text ranges.
    const std::vector<CSessionInfo> sessions = records.Sessions().GetAll();
    ASSERT_EQ(3u, sessions.size());
    std::string expected[2];
    for (std::size_t n = 1; n < nBlocks; n += 3) {
        expected[n % 2] += blocks[n];
    }
    ASSERT_EQ(0, SaveSessionBytes(records, 1, folder.Path("c.bin"), folder.Path("s.bin")));
    EXPECT_TRUE(folder.ReadFile("c.bin") == expected[0]);
    EXPECT_TRUE(folder.ReadFile("s.bin") == expected[1]);
    for (const char* pszName : {"c.bin", "s.bin"}) {
        struct stat st {};
        ASSERT_EQ(0, ::stat(folder.Path(pszName).c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777) << pszName << ": traffic for its owner only";
    }
    EXPECT_EQ(ENOENT, SaveSessionBytes(records, 7, folder.Path("x"), folder.Path("y")));
    const auto ranges = SessionTextRanges(records, 1);
    ASSERT_EQ((nBlocks + 1) / 3, ranges.size());
    EXPECT_EQ(all[1].nTextStart, ranges[0].first);
    EXPECT_EQ(all[4].nTextStart + all[4].nTextLength, ranges[1].second);

    // The memory stays the tails' whatever the log holds.
    EXPECT_LE(records.GetMemoryUse(), CRawSpool::kMaxChunks * CRawSpool::kChunk + (64u << 10));

    // New empties them with the text.
    doc.Clear();
    EXPECT_EQ(0u, records.GetBlockCount());
    // The sessions never ended: they stay, emptied.
    ASSERT_EQ(3u, records.Sessions().GetCount());
    CSessionInfo kept;
    ASSERT_TRUE(records.Sessions().GetRow(1, kept));
    EXPECT_EQ(0u, kept.nBytes[0] + kept.nBytes[1]);
    AppendBlock(doc, 9, LogDirection::ServerToClient, "again");
    ASSERT_TRUE(records.ReadBlocks(0, 1, all));
    ASSERT_TRUE(records.ReadRaw(all[0], bytes));
    EXPECT_EQ("again", bytes);
    EXPECT_EQ(0u, all[0].nRawOffset);
    EXPECT_EQ(0u, all[0].nTextStart);
}

}  // namespace
