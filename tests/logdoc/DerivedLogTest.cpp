// The presentations of the log built from its records: hex dump lines byte for byte, one
// session's blocks with their marker lines, and a presentation that follows the log in
// small steps ending up exactly as one built at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TempFolder.h"
#include "logdoc/DerivedLog.h"
#include "logdoc/HexDump.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

// Appends a block as the relay does: begin, marker, the block's text, its record.
void AppendBlock(CLogDocument& doc, std::uint64_t nId, LogDirection direction,
                 std::string_view bytes, std::int64_t nTimeUs = 1) {
    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    record.nSessionId = nId;
    record.nSession = static_cast<long>(nId);
    doc.OnLogRecord(record);
    doc.AppendLog(L"\r\n" + std::to_wstring(nId) +
                      (direction == LogDirection::ClientToServer ? L"---<---" : L"--->---"),
                  LOG_STYLE_BOLD);
    doc.AppendLogBytes(bytes, LOG_STYLE_PLAIN);
    record.kind = LogRecordKind::Block;
    record.direction = direction;
    record.bytes = bytes;
    record.nTimeUs = nTimeUs;
    doc.OnLogRecord(record);
}

// The record that a block of session nId begins (its marker follows), and the one that
// it has ended with `bytes`: for blocks that other text comes between.
void RecordBegin(CLogDocument& doc, std::uint64_t nId) {
    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    record.nSessionId = nId;
    doc.OnLogRecord(record);
}

void RecordBlock(CLogDocument& doc, std::uint64_t nId, std::string_view bytes) {
    CLogRecord record;
    record.kind = LogRecordKind::Block;
    record.nSessionId = nId;
    record.bytes = bytes;
    doc.OnLogRecord(record);
}

void StartSession(CLogDocument& doc, std::uint64_t nId) {
    CLogRecord record;
    record.kind = LogRecordKind::SessionStart;
    record.nSessionId = nId;
    record.nSession = static_cast<long>(nId);
    doc.OnLogRecord(record);
    doc.AppendLog(L"\r\nsession " + std::to_wstring(nId) + L" starts", LOG_STYLE_BOLD);
    doc.AppendLog(L" plain tail", LOG_STYLE_PLAIN);
}

std::string Text(const CLogDocument& doc) {
    return doc.ReadBytes(0, doc.GetSize());
}

// The document's text with its bold parts in brackets.
std::string Marked(const CLogDocument& doc) {
    std::string out;
    std::uint64_t nAt = 0;
    for (const CBoldRun& run : doc.GetBoldRuns(0, doc.GetSize())) {
        out += doc.ReadBytes(nAt, run.nStart - nAt) + "[" +
               doc.ReadBytes(run.nStart, run.nEnd - run.nStart) + "]";
        nAt = run.nEnd;
    }
    return out + doc.ReadBytes(nAt, doc.GetSize() - nAt);
}

TEST(HexDumpTest, LinesHaveOffsetHexWithGapAndCharacters) {
    std::string out;
    hexdump::AppendLines(out, "GET / HTTP/1.1\r\nHost: a\r\n");
    EXPECT_EQ(
        "\r\n00000000  47 45 54 20 2f 20 48 54  54 50 2f 31 2e 31 0d 0a  GET / HTTP/1.1.."
        "\r\n00000010  48 6f 73 74 3a 20 61 0d  0a                       Host: a..",
        out);

    // Bytes of the upper half, zero, DEL and control characters are dots; a full line
    // has the width promised.
    std::string bytes;
    for (int c : {0x00, 0x07, 0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xa9, 0xff}) {
        bytes += static_cast<char>(c);
    }
    bytes += "0123456";
    out.clear();
    hexdump::AppendLine(out, 0xfedcba98u, bytes);
    EXPECT_EQ("fedcba98  00 07 1f 20 7e 7f 80 a9  ff 30 31 32 33 34 35 36  ... ~....0123456", out);
    EXPECT_EQ(hexdump::kLineWidth, out.size());

    // Exactly 16 bytes: one line; an empty block: nothing; the gap comes after 8 only.
    out.clear();
    hexdump::AppendLines(out, std::string(16, 'A'), "\n");
    EXPECT_EQ("\n00000000  41 41 41 41 41 41 41 41  41 41 41 41 41 41 41 41  AAAAAAAAAAAAAAAA",
              out);
    out.clear();
    hexdump::AppendLines(out, "");
    EXPECT_EQ("", out);
    hexdump::AppendLine(out, 8, "abcdefgh");
    EXPECT_EQ("00000008  61 62 63 64 65 66 67 68                           abcdefgh", out);
}

class DerivedLogTest : public ::testing::Test {
protected:
    CTempFolder m_folder;
    CLogDocument m_doc{m_folder.Path()};
};

TEST_F(DerivedLogTest, HexDumpOfEverySessionKeepsMarkersAndOtherLines) {
    StartSession(m_doc, 1);
    AppendBlock(m_doc, 1, LogDirection::ClientToServer, "hi\r\n");
    AppendBlock(m_doc, 1, LogDirection::ServerToClient, std::string("\x00\xff", 2));
    AppendBlock(m_doc, 1, LogDirection::ServerToClient, "");  // an empty block: its marker alone
    m_doc.AppendLog(L"\r\nstopped", LOG_STYLE_BOLD);

    CDerivedLog hex(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Hex);
    EXPECT_TRUE(hex.CatchUp());
    EXPECT_EQ(
        "[\r\nsession 1 starts] plain tail"
        "[\r\n1---<---]\r\n00000000  68 69 0d 0a" +
            std::string(39, ' ') +
            "hi.."
            "[\r\n1--->---]\r\n00000000  00 ff" +
            std::string(45, ' ') +
            ".."
            "[\r\n1--->---\r\nstopped]",
        Marked(hex.Document()));
    // Each block shown has its record, at its marker, with its time.
    EXPECT_EQ(3u, hex.Document().GetRecords().GetBlockCount());

    // The text presentation of every session is the log itself.
    CDerivedLog text(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Text);
    EXPECT_TRUE(text.CatchUp());
    EXPECT_EQ(Marked(m_doc), Marked(text.Document()));
}

TEST_F(DerivedLogTest, OneSessionShowsOnlyItsBlocksAndFollowsIt) {
    StartSession(m_doc, 1);
    StartSession(m_doc, 2);
    AppendBlock(m_doc, 1, LogDirection::ClientToServer, "one");
    AppendBlock(m_doc, 2, LogDirection::ClientToServer, "two");
    AppendBlock(m_doc, 1, LogDirection::ServerToClient, "ONE");
    const std::uint32_t nRow = 0;  // session 1 started first

    CDerivedLog only(m_doc, nRow, CDerivedLog::Format::Text);
    EXPECT_TRUE(only.CatchUp());
    EXPECT_EQ("[\r\n1---<---]one[\r\n1--->---]ONE", Marked(only.Document()));

    // Live: another session's block changes nothing, the session's own appears.
    const std::uint64_t nGeneration = only.Document().GetGeneration();
    AppendBlock(m_doc, 2, LogDirection::ServerToClient, "TWO");
    EXPECT_TRUE(only.CatchUp());
    EXPECT_EQ(nGeneration, only.Document().GetGeneration());
    AppendBlock(m_doc, 1, LogDirection::ClientToServer, "again");
    EXPECT_TRUE(only.CatchUp());
    EXPECT_EQ("[\r\n1---<---]one[\r\n1--->---]ONE[\r\n1---<---]again", Marked(only.Document()));

    // The same session as hex.
    CDerivedLog hex(m_doc, 1, CDerivedLog::Format::Hex);
    EXPECT_TRUE(hex.CatchUp());
    EXPECT_EQ("\r\n2---<---\r\n00000000  74 77 6f" + std::string(42, ' ') +
                  "two\r\n2--->---\r\n00000000  54 57 4f" + std::string(42, ' ') + "TWO",
              Text(hex.Document()));

    // New empties the log: the presentation empties and stays so (its session is gone).
    m_doc.Clear();
    StartSession(m_doc, 7);
    AppendBlock(m_doc, 7, LogDirection::ClientToServer, "new");
    EXPECT_FALSE(only.SessionGone());
    EXPECT_TRUE(only.CatchUp());
    EXPECT_EQ(0u, only.Document().GetSize());
    EXPECT_TRUE(only.SessionGone());
}

TEST_F(DerivedLogTest, FollowingInSmallStepsEqualsBuildingAtOnce) {
    // Cut the log at every record: a presentation that catches up after each step (with
    // a tiny budget, so that text between blocks is taken in pieces) ends as one built
    // at the end, for both formats and for every session and one.
    CDerivedLog hexAll(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Hex);
    CDerivedLog textAll(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Text);
    CDerivedLog hexOne(m_doc, 1, CDerivedLog::Format::Hex);
    CDerivedLog* const steps[] = {&hexAll, &textAll, &hexOne};
    std::string big;
    for (int n = 0; n < 300; ++n) {
        big += "line " + std::to_string(n) + " \xc3\xa9\r\n";
    }
    for (int n = 0; n < 40; ++n) {
        const std::uint64_t nId = 1 + static_cast<std::uint64_t>(n % 3);
        if (n < 3) {
            StartSession(m_doc, nId);
        }
        AppendBlock(
            m_doc, nId, n % 2 == 0 ? LogDirection::ClientToServer : LogDirection::ServerToClient,
            n % 7 == 0 ? big : "block " + std::to_string(n) + std::string(n, '\x01'), 1000 * n);
        if (n % 5 == 0) {
            m_doc.AppendLog(L"\r\nbetween " + std::to_wstring(n) + L" \u00e9t\u00e9",
                            LOG_STYLE_BOLD);
            m_doc.AppendLog(L" and plain", LOG_STYLE_PLAIN);
        }
        for (CDerivedLog* p : steps) {
            // Small steps: never more than one block and 97 bytes of text at a time.
            for (int nCalls = 0; !p->CatchUp(97); ++nCalls) {
                ASSERT_LT(nCalls, 10000);
            }
        }
    }
    for (CDerivedLog* p : steps) {
        CDerivedLog once(m_doc, p->SessionRow(), p->GetFormat());
        EXPECT_TRUE(once.CatchUp(SIZE_MAX));
        EXPECT_EQ(Marked(once.Document()), Marked(p->Document()));
        EXPECT_EQ(once.Document().GetLineCount(), p->Document().GetLineCount());
        EXPECT_EQ(once.Document().GetRecords().GetBlockCount(),
                  p->Document().GetRecords().GetBlockCount());
    }
    EXPECT_EQ(Marked(m_doc), Marked(textAll.Document()));
    EXPECT_EQ(13u, hexOne.Document().GetRecords().GetBlockCount());  // session 2: n % 3 == 1
}

TEST_F(DerivedLogTest, OneSessionNeverShowsABlockLoggedInsideItsOwn) {
    // In HTTP mode a client's marker is logged before its request arrives; another
    // session's block can come in between, and the record of the request then spans it.
    StartSession(m_doc, 1);
    StartSession(m_doc, 2);
    AppendBlock(m_doc, 2, LogDirection::ClientToServer, "first");
    RecordBegin(m_doc, 1);
    m_doc.AppendLog(L"\r\n1---<---", LOG_STYLE_BOLD);
    AppendBlock(m_doc, 2, LogDirection::ServerToClient, "OTHER");
    m_doc.AppendLogBytes("GET /", LOG_STYLE_PLAIN);
    RecordBlock(m_doc, 1, "GET /");

    for (auto format : {CDerivedLog::Format::Text, CDerivedLog::Format::Hex}) {
        CDerivedLog only(m_doc, 0, format);
        EXPECT_TRUE(only.CatchUp());
        const std::string strText = Text(only.Document());
        EXPECT_EQ(std::string::npos, strText.find("OTHER")) << strText;
        EXPECT_EQ(std::string::npos, strText.find("4f 54 48 45 52")) << strText;
        EXPECT_NE(std::string::npos,
                  strText.find(format == CDerivedLog::Format::Text ? "GET /" : "47 45 54 20 2f"))
            << strText;
        // The request keeps its own marker line, bold, above it.
        const std::string strMarked = Marked(only.Document());
        const std::size_t nMarker = strMarked.find("[\r\n1---<---]");
        ASSERT_NE(std::string::npos, nMarker) << strMarked;
        EXPECT_LT(nMarker, strMarked.find(format == CDerivedLog::Format::Text ? "GET /" : "47 45"));
    }
    // Every session: each block's text once.
    CDerivedLog all(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Text);
    EXPECT_TRUE(all.CatchUp());
    EXPECT_EQ(Marked(m_doc), Marked(all.Document()));
}

TEST_F(DerivedLogTest, FollowsALogThatGrowsOnAnotherThread) {
    // The relay appends on its own thread (here: blocks of four sessions, text between,
    // and pauses inside blocks) while the presentations catch up on this one; in the end
    // they are what a build at once gives.
    std::atomic<bool> bDone{false};
    std::thread relay([&] {
        for (int n = 0; n < 600; ++n) {
            const std::uint64_t nId = 1 + static_cast<std::uint64_t>(n % 4);
            if (n < 4) {
                StartSession(m_doc, nId);
            }
            CLogRecord record;
            record.kind = LogRecordKind::BlockBegin;
            record.nSessionId = nId;
            m_doc.OnLogRecord(record);
            m_doc.AppendLog(L"\r\n" + std::to_wstring(nId) + L"---<---", LOG_STYLE_BOLD);
            if (n % 50 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const std::string bytes = "data " + std::to_string(n) + std::string(n % 37, '\x80');
            m_doc.AppendLogBytes(bytes, LOG_STYLE_PLAIN);
            record.kind = LogRecordKind::Block;
            record.bytes = bytes;
            record.nTimeUs = n;
            m_doc.OnLogRecord(record);
            if (n % 9 == 0) {
                m_doc.AppendLog(L"\r\nnote " + std::to_wstring(n), LOG_STYLE_BOLD);
            }
        }
        bDone = true;
    });
    CDerivedLog hexAll(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Hex);
    CDerivedLog textOne(m_doc, 2, CDerivedLog::Format::Text);
    for (bool bLast = false; !bLast;) {
        bLast = bDone;  // one more round after the relay's last block
        hexAll.CatchUp(300);
        textOne.CatchUp(300);
    }
    relay.join();
    while (!hexAll.CatchUp() || !textOne.CatchUp()) {
    }
    for (CDerivedLog* p : {&hexAll, &textOne}) {
        CDerivedLog once(m_doc, p->SessionRow(), p->GetFormat());
        EXPECT_TRUE(once.CatchUp(SIZE_MAX));
        EXPECT_EQ(Marked(once.Document()), Marked(p->Document()));
    }
    EXPECT_EQ(600u, hexAll.Document().GetRecords().GetBlockCount());
    EXPECT_EQ(150u, textOne.Document().GetRecords().GetBlockCount());
}

TEST_F(DerivedLogTest, TakesNoTextOfABlockStillBeingWritten) {
    StartSession(m_doc, 1);
    RecordBegin(m_doc, 1);
    m_doc.AppendLog(L"\r\n1---<---", LOG_STYLE_BOLD);
    m_doc.AppendLog(L"half", LOG_STYLE_PLAIN);

    CDerivedLog hex(m_doc, CDerivedLog::kAllSessions, CDerivedLog::Format::Hex);
    EXPECT_TRUE(hex.CatchUp());
    EXPECT_EQ("\r\nsession 1 starts plain tail", Text(hex.Document()));

    m_doc.AppendLogBytes("!", LOG_STYLE_PLAIN);
    RecordBlock(m_doc, 1, "half!");
    EXPECT_TRUE(hex.CatchUp());
    EXPECT_EQ("\r\nsession 1 starts plain tail\r\n1---<---\r\n00000000  68 61 6c 66 21" +
                  std::string(36, ' ') + "half!",
              Text(hex.Document()));
}

}  // namespace
