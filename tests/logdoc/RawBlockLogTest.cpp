// A log whose relayed blocks are kept as their bytes and made into text when read, against
// a log that keeps the same blocks' text as it is: the same text, lines, bold runs, saved
// file, search results, copies and presentations, read in any cut; and a spool of about
// one byte per relayed byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "logdoc/DerivedLog.h"
#include "logdoc/LineIndex.h"
#include "logdoc/LogDocument.h"
#include "logdoc/LogSearch.h"
#include "module/Messages.h"
#include "platform/TextConv.h"

namespace {

// Under the sanitizers, which slow every byte read, the logs are smaller (still across a
// 4 MiB boundary and the spool's chunks).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kLogBytes = 5 << 20;
constexpr int kProbes = 300;
#else
constexpr std::uint64_t kLogBytes = 10 << 20;
constexpr int kProbes = 2000;
#endif

std::string TextOf(std::string_view bytes) {
    std::string out(3 * bytes.size(), '\0');
    out.resize(win::AnsiToUtf8(bytes, out.data(), true));
    return out;
}

// Appends a block as the relay does (begin, marker, block, record): the block as its bytes
// to `raw`, as its text to `text`, both with the same records.
void AppendBlockBoth(CLogDocument& raw, CLogDocument& text, std::uint64_t nId,
                     std::string_view bytes) {
    for (CLogDocument* pDoc : {&raw, &text}) {
        CLogRecord record;
        record.kind = LogRecordKind::BlockBegin;
        record.nSessionId = nId;
        record.nSession = static_cast<long>(nId);
        pDoc->OnLogRecord(record);
        pDoc->AppendUtf8("\r\n" + std::to_string(nId) + "---<---\r\n", LOG_STYLE_BOLD);
        if (pDoc == &raw && bytes.size() % 2 == 0) {
            pDoc->AppendLogBytes(bytes, LOG_STYLE_PLAIN);
        } else if (pDoc == &raw) {
            // As the relay hands them to the window: the bytes alone, in a message.
            const CLogText log{{}, bytes, true};
            AppendLogMessage(*pDoc, reinterpret_cast<WPARAM>(&log), LOG_STYLE_PLAIN);
        } else {
            pDoc->AppendUtf8(TextOf(bytes), LOG_STYLE_PLAIN);
        }
        record.kind = LogRecordKind::Block;
        record.bytes = bytes;
        record.nTimeUs = 7;
        pDoc->OnLogRecord(record);
    }
}

// A block of one of several kinds: random bytes, HTTP-like text with every kind of break,
// accented UTF-8 with zero bytes, a sequence cut by the block's end; some small, some
// longer than a piece.
std::string RandomBlock(std::mt19937& random) {
    static const std::vector<std::size_t> kSizes = {1,     63,    64,    100,   4096,
                                                    16384, 65535, 65536, 70000, 200000};
    const std::size_t nSize =
        random() % 3 == 0 ? random() % 3000 : kSizes[random() % kSizes.size()];
    std::string block;
    switch (random() % 4) {
        case 0:
            while (block.size() < nSize) {
                block.push_back(static_cast<char>(random()));
            }
            break;
        case 1:
            while (block.size() < nSize) {
                block += "GET /item" + std::to_string(random() % 1000) +
                         (random() % 3 == 0 ? "\r"
                          : random() % 2    ? "\n"
                                            : "\r\n");
            }
            break;
        case 2:
            while (block.size() < nSize) {
                block += random() % 5 == 0 ? std::string("\0\r", 2) : "caf\xc3\xa9 \xe2\x82\xac\n";
            }
            break;
        default:
            // No ASCII byte anywhere to cut at; some sequences broken or too long.
            while (block.size() + 1 < nSize) {
                const unsigned r = random() % 16;
                block += r == 0 ? "\xe4\xb8" : r == 1 ? "\xf0\x9f\x98\x80\x80" : "\xe4\xb8\xad";
            }
            block += "\xe4";
            break;
    }
    block.resize(nSize);
    return block;
}

class RawBlockLogTest : public ::testing::Test {
protected:
    // Random blocks of sessions 1..3 into both documents, with session lines between,
    // until the text passes `nTextBytes`.
    void Fill(std::uint64_t nTextBytes, unsigned nSeed) {
        std::mt19937 random(nSeed);
        while (m_text.GetSize() < nTextBytes) {
            if (random() % 20 == 0) {
                for (CLogDocument* pDoc : {&m_raw, &m_text}) {
                    pDoc->AppendLog(L"\r\nSession 2 starts.", LOG_STYLE_BOLD);
                    pDoc->AppendLog(L"", LOG_STYLE_PLAIN);
                }
            }
            AppendBlockBoth(m_raw, m_text, 1 + random() % 3, RandomBlock(random));
        }
    }

    CTempFolder m_folder;
    CLogDocument m_raw{m_folder.Path()};
    CLogDocument m_text{m_folder.Path()};
};

TEST_F(RawBlockLogTest, TextLinesAndRunsEqualThoseOfTheTextKeptAsItIs) {
    Fill(kLogBytes, 1);
    const std::uint64_t nSize = m_text.GetSize();
    ASSERT_EQ(nSize, m_raw.GetSize());
    ASSERT_EQ(m_text.GetLineCount(), m_raw.GetLineCount());
    const std::string expected = m_text.ReadBytes(0, nSize);
    ASSERT_EQ(expected, m_raw.ReadBytes(0, nSize));

    // Read in pieces cut at every 4 MiB boundary and at every line break: the same text.
    std::set<std::uint64_t> cuts{0, nSize};
    for (std::uint64_t n = 4 << 20; n < nSize; n += 4 << 20) {
        cuts.insert(n);
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == '\r' || expected[i] == '\n') {
            cuts.insert(i);
            cuts.insert(i + 1);
        }
    }
    std::string joined;
    joined.reserve(expected.size());
    for (auto it = cuts.begin(); std::next(it) != cuts.end(); ++it) {
        joined += m_raw.ReadBytes(*it, *std::next(it) - *it);
    }
    EXPECT_TRUE(joined == expected) << "pieces cut at the breaks differ";

    // Every line, its place and the line of any offset.
    const std::vector<CLogLineSpan> lines = m_text.GetLines(0, SIZE_MAX);
    const std::vector<CLogLineSpan> rawLines = m_raw.GetLines(0, SIZE_MAX);
    ASSERT_EQ(lines.size(), rawLines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].nStart, rawLines[i].nStart) << i;
        ASSERT_EQ(lines[i].nLength, rawLines[i].nLength) << i;
    }
    std::mt19937 random(5);
    for (int i = 0; i < kProbes; ++i) {
        const std::uint64_t nAt = random() % nSize;
        ASSERT_EQ(m_text.LineOfOffset(nAt), m_raw.LineOfOffset(nAt)) << nAt;
        // Short reads go block by block, long ones (a Find's, a Save's) all at once.
        const std::size_t n = i % 4 == 0 ? random() % (1 << 20) : random() % 70000;
        std::string into(n, '\0');
        const bool bFits = nAt + n <= nSize;
        ASSERT_EQ(bFits, m_raw.ReadInto(nAt, into.data(), n));
        if (bFits) {
            ASSERT_TRUE(into == expected.substr(static_cast<std::size_t>(nAt), n)) << nAt;
        }
    }
    const auto runs = m_text.GetBoldRuns(0, nSize);
    const auto rawRuns = m_raw.GetBoldRuns(0, nSize);
    ASSERT_EQ(runs.size(), rawRuns.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].nStart, rawRuns[i].nStart);
        EXPECT_EQ(runs[i].nEnd, rawRuns[i].nEnd);
    }
}

TEST_F(RawBlockLogTest, LinesCountedFromTheBytesEqualThoseOfTheTextWhereverBlocksAreCut) {
    // One stream of binary and text blocks, cut again into blocks at every line break
    // (just before or just after it, so that a CR LF may span two blocks) and at every
    // 4 MiB: the lines and the text counted from each block's bytes are those of its
    // converted text.
    std::mt19937 random(17);
    std::string stream;
    while (stream.size() < kLogBytes / 2) {
        stream += RandomBlock(random);
    }
    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 0; i < stream.size(); ++i) {
        if (i % (4 << 20) == 0 && i > cuts.back()) {
            cuts.push_back(i);
        }
        if (stream[i] == '\r' || stream[i] == '\n') {
            const std::size_t nCut = random() % 2 == 0 ? i : i + 1;
            if (nCut > cuts.back()) {
                cuts.push_back(nCut);
            }
        }
    }
    cuts.push_back(stream.size());
    std::uint64_t nMeasured = 0;  // blocks long enough to be kept as bytes
    // The same cuts into two bare indexes: one counting each block apart and splicing the
    // count in (as the document does outside its lock), one taking in the converted text.
    CLineIndex spliced;
    CLineIndex whole;
    CLineIndex::CBlockBreaks counted;
    std::uint64_t nIndexed = 0;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        const std::string_view block =
            std::string_view(stream).substr(cuts[k], cuts[k + 1] - cuts[k]);
        m_raw.AppendLogBytes(block, LOG_STYLE_PLAIN);
        m_text.AppendUtf8(TextOf(block), LOG_STYLE_PLAIN);
        CLineIndex::CountBlock(block, counted);
        ASSERT_EQ(spliced.Splice(nIndexed, counted), TextOf(block).size()) << k;
        whole.Append(nIndexed, TextOf(block));
        nIndexed += counted.nTextLength;
        nMeasured += block.size() >= CLogDocument::kSmallBlock ? 1 : 0;
        if (k % 4096 == 0) {
            ASSERT_EQ(m_text.GetSize(), m_raw.GetSize()) << k;
            ASSERT_EQ(m_text.GetLineCount(), m_raw.GetLineCount()) << k;
        }
    }
    EXPECT_GT(nMeasured, 1000u);
    const std::uint64_t nSize = m_text.GetSize();
    ASSERT_EQ(nSize, m_raw.GetSize());
    ASSERT_EQ(nIndexed, nSize);
    ASSERT_EQ(spliced.GetLineCount(), whole.GetLineCount());
    ASSERT_EQ(spliced.GetBlockCount(), whole.GetBlockCount());
    for (std::uint64_t b = 0; b < whole.GetBlockCount(); ++b) {
        ASSERT_EQ(spliced.GetBlockStart(b), whole.GetBlockStart(b)) << b;
    }
    for (std::uint64_t nLine = 0; nLine < whole.GetLineCount(); nLine += 1 + nLine / 64) {
        ASSERT_EQ(spliced.SkipWithinLine(nLine, 0), whole.SkipWithinLine(nLine, 0)) << nLine;
    }
    ASSERT_EQ(m_text.GetLineCount(), m_raw.GetLineCount());
    const std::vector<CLogLineSpan> lines = m_text.GetLines(0, SIZE_MAX);
    const std::vector<CLogLineSpan> rawLines = m_raw.GetLines(0, SIZE_MAX);
    ASSERT_EQ(lines.size(), rawLines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].nStart, rawLines[i].nStart) << i;
        ASSERT_EQ(lines[i].nLength, rawLines[i].nLength) << i;
    }
    EXPECT_TRUE(m_text.ReadBytes(0, nSize) == m_raw.ReadBytes(0, nSize));
    std::mt19937 probe(23);
    for (int i = 0; i < kProbes; ++i) {
        const std::uint64_t nAt = probe() % nSize;
        ASSERT_EQ(m_text.LineOfOffset(nAt), m_raw.LineOfOffset(nAt)) << nAt;
    }
}

TEST_F(RawBlockLogTest, SaveCopyFindAndPresentationsEqualThoseOfTheTextKeptAsItIs) {
    Fill(kLogBytes / 4, 2);
    const std::uint64_t nSize = m_text.GetSize();

    // Save: the same file, byte for byte.
    const std::string strText = m_folder.Path("text.log");
    const std::string strRaw = m_folder.Path("raw.log");
    ASSERT_EQ(0u, m_text.SaveTo(win::AnsiToWide(strText)));
    ASSERT_EQ(0u, m_raw.SaveTo(win::AnsiToWide(strRaw)));
    const auto fileOf = [](const std::string& strPath) {
        std::ifstream in(strPath, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    };
    const std::string saved = fileOf(strText);
    EXPECT_GT(saved.size(), nSize);
    EXPECT_TRUE(saved == fileOf(strRaw)) << "the saved files differ";

    // Copy: any range, with its breaks made LF.
    std::mt19937 random(9);
    for (int i = 0; i < kProbes / 10; ++i) {
        const std::uint64_t nFrom = random() % nSize;
        const std::uint64_t nTo = std::min(nSize, nFrom + random() % 300000);
        ASSERT_EQ(m_text.ExtractText(nFrom, nTo, "\n"), m_raw.ExtractText(nFrom, nTo, "\n"));
    }

    // Find: every match of plain text, with and without case, and of a pattern. ASCII text
    // is looked for in the blocks' bytes: across a marker line and its block, one letter
    // among random bytes (its place in the text counted from the bytes), and counted.
    for (const CFindOptions& options :
         {CFindOptions{"item7", true, false}, CFindOptions{"<---\r\nGET /ITEM1", false, false},
          CFindOptions{"q", false, false}, CFindOptions{"\n\r", true, false},
          CFindOptions{"CAF\xc3\xa9", false, false}, CFindOptions{"\xe2\x90\x80\r", true, false},
          CFindOptions{"^GET /item[0-9]*3$", true, true}}) {
        CLogSearch textSearch(m_text, options);
        CLogSearch rawSearch(m_raw, options);
        std::vector<std::uint64_t> found[2];
        int nSide = 0;
        for (CLogSearch* pSearch : {&textSearch, &rawSearch}) {
            std::uint64_t nFrom = 0;
            for (;;) {
                CFindMatch match;
                std::uint64_t nResume = 0;
                const EFindResult result =
                    pSearch->FindNext(nFrom, nSize, UINT64_MAX, match, nResume);
                if (result != EFindResult::Found) {
                    break;
                }
                found[nSide].push_back(match.nStart);
                nFrom = match.nEnd;
            }
            ++nSide;
        }
        EXPECT_FALSE(found[0].empty()) << options.strText;
        EXPECT_EQ(found[0], found[1]) << options.strText;
        // Counted in steps, and found anew from where the first match ends (a place inside
        // a block, read whole from before it).
        std::uint64_t nCount = 0;
        std::uint64_t nResume = 0;
        while (rawSearch.Count(nResume, nSize, 1 << 20, nCount, nResume) == EFindResult::More) {
        }
        EXPECT_EQ(found[0].size(), nCount) << options.strText;
        if (found[0].size() > 2) {
            CFindMatch match;
            std::uint64_t nIgnored = 0;
            ASSERT_EQ(EFindResult::Found, CLogSearch(m_raw, options)
                                              .FindNext(found[0][0] + options.strText.size(), nSize,
                                                        UINT64_MAX, match, nIgnored));
            EXPECT_EQ(found[0][1], match.nStart) << options.strText;
        }
    }

    // The hex dump and one session's blocks: made from the records, the same either way.
    for (const std::uint32_t nRow : {CDerivedLog::kAllSessions, 0u, 2u}) {
        for (const auto format : {CDerivedLog::Format::Hex, CDerivedLog::Format::Text}) {
            CDerivedLog fromText(m_text, nRow, format);
            CDerivedLog fromRaw(m_raw, nRow, format);
            while (!fromText.CatchUp(SIZE_MAX)) {
            }
            while (!fromRaw.CatchUp(SIZE_MAX)) {
            }
            const CLogDocument& a = fromText.Document();
            const CLogDocument& b = fromRaw.Document();
            ASSERT_GT(a.GetSize(), 0u);
            EXPECT_TRUE(a.ReadBytes(0, a.GetSize()) == b.ReadBytes(0, b.GetSize()))
                << nRow << " " << static_cast<int>(format);
        }
    }
}

TEST_F(RawBlockLogTest, RecordsShareTheBlocksBytesAndTheSpoolHoldsThemOnce) {
    std::mt19937 random(3);
    std::uint64_t nRelayed = 0;
    std::vector<std::string> blocks;
    for (int i = 0; i < 2000; ++i) {
        std::string block(16384, '\0');
        for (char& c : block) {
            c = static_cast<char>(random());
        }
        AppendBlockBoth(m_raw, m_text, 1, block);
        nRelayed += block.size();
        if (i % 500 == 0) {
            blocks.push_back(block);
        }
    }
    const double dRaw = static_cast<double>(m_raw.GetSpoolSize()) / static_cast<double>(nRelayed);
    const double dText = static_cast<double>(m_text.GetSpoolSize()) / static_cast<double>(nRelayed);
    EXPECT_LE(dRaw, 1.01);
    EXPECT_GE(dText, 2.4);  // the text of random bytes, and their bytes again in the records

    // The records point at the bytes the text is made of.
    std::vector<CBlockRecord> records;
    ASSERT_TRUE(m_raw.GetRecords().ReadBlocks(0, 2000, records));
    ASSERT_EQ(2000u, records.size());
    std::string bytes;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        ASSERT_TRUE(m_raw.GetRecords().ReadRaw(records[k * 500], bytes));
        EXPECT_TRUE(bytes == blocks[k]) << k;
    }
}

TEST_F(RawBlockLogTest, AClearedLogShowsTheNewBlocksNotTheOldOnes) {
    // The same raw offsets hold other bytes after a clear: nothing made from the old ones
    // may show.
    AppendBlockBoth(m_raw, m_text, 1, std::string(5000, 'a'));
    EXPECT_EQ(std::string(100, 'a'), m_raw.ReadBytes(m_raw.GetSize() - 100, 100));
    m_raw.Clear();
    m_text.Clear();
    AppendBlockBoth(m_raw, m_text, 1, std::string(5000, 'b'));
    EXPECT_EQ(m_text.ReadBytes(0, m_text.GetSize()), m_raw.ReadBytes(0, m_raw.GetSize()));
    EXPECT_EQ(std::string(100, 'b'), m_raw.ReadBytes(m_raw.GetSize() - 100, 100));
}

TEST_F(RawBlockLogTest, AppendedTextBetweenBlocksAndLoadedLogsStayText) {
    // A block's record that does not follow its bytes keeps bytes of its own.
    const std::string block(1000, 'x');
    m_raw.AppendLogBytes(block, LOG_STYLE_PLAIN);
    m_raw.AppendUtf8("between", LOG_STYLE_PLAIN);
    CLogRecord record;
    record.kind = LogRecordKind::Block;
    record.bytes = block;
    m_raw.OnLogRecord(record);
    std::vector<CBlockRecord> records;
    ASSERT_TRUE(m_raw.GetRecords().ReadBlocks(0, 1, records));
    ASSERT_EQ(1u, records.size());
    std::string bytes;
    ASSERT_TRUE(m_raw.GetRecords().ReadRaw(records[0], bytes));
    EXPECT_EQ(block, bytes);
    EXPECT_EQ(block + "between", m_raw.ReadBytes(0, m_raw.GetSize()));

    // A saved log loads back as text, the same as it was saved.
    const std::string strPath = m_folder.Path("saved.log");
    ASSERT_EQ(0u, m_raw.SaveTo(win::AnsiToWide(strPath)));
    ASSERT_EQ(0u, m_text.LoadFrom(win::AnsiToWide(strPath)));
    EXPECT_EQ(block + "between", m_text.ReadBytes(0, m_text.GetSize()));
}

TEST_F(RawBlockLogTest, ReadersOnOtherThreadsSeeTheTextWhileBlocksArrive) {
    // The expected text, made first; then the blocks go in on this thread while two
    // readers check what they see against it.
    std::mt19937 random(11);
    std::vector<std::string> blocks;
    std::string expected;
    while (expected.size() < kLogBytes) {
        blocks.push_back(RandomBlock(random));
        expected += "\r\n1---<---\r\n" + TextOf(blocks.back());
    }
    std::atomic<bool> bDone{false};
    std::atomic<int> nBad{0};
    std::atomic<int> nReads{0};
    const auto reader = [&](unsigned nSeed) {
        std::mt19937 r(nSeed);
        while (!bDone.load()) {
            const std::uint64_t nSize = m_raw.GetSize();
            if (nSize == 0) {
                continue;
            }
            const std::uint64_t nAt = r() % nSize;
            const std::string got = m_raw.ReadBytes(nAt, r() % 100000);
            if (got != expected.substr(static_cast<std::size_t>(nAt), got.size()) || got.empty()) {
                ++nBad;
            }
            // Lines seen while blocks are spliced in start after a break, and each but the
            // last (which may end where the text ended then) ends at one.
            const std::uint64_t nLine = r() % m_raw.GetLineCount();
            const std::vector<CLogLineSpan> spans = m_raw.GetLines(nLine, 40);
            const auto isBreak = [&](std::uint64_t n) {
                return expected[n] == '\n' || expected[n] == '\r';
            };
            for (std::size_t i = 0; i < spans.size(); ++i) {
                const std::uint64_t nEnd = spans[i].nStart + spans[i].nLength;
                if (nEnd > expected.size() ||
                    (spans[i].nStart > 0 && !isBreak(spans[i].nStart - 1)) ||
                    (i + 1 < spans.size() && !isBreak(nEnd))) {
                    ++nBad;
                }
            }
            ++nReads;
        }
    };
    std::thread first(reader, 1u);
    std::thread second(reader, 2u);
    for (const std::string& block : blocks) {
        m_raw.AppendUtf8("\r\n1---<---\r\n", LOG_STYLE_BOLD);
        m_raw.AppendLogBytes(block, LOG_STYLE_PLAIN);
    }
    bDone = true;
    first.join();
    second.join();
    EXPECT_EQ(0, nBad.load());
    EXPECT_GT(nReads.load(), 0);
    EXPECT_TRUE(m_raw.ReadBytes(0, m_raw.GetSize()) == expected);
}

}  // namespace
