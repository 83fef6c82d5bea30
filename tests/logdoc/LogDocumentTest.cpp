// The log document: lines, bold runs, the spool and its tail, reads during appends.
#include "logdoc/LogDocument.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "module/Messages.h"
#include "module/MyModule.h"

namespace {

// The lines of `text` by the log's rules: a break is LF, CR or CR LF.
std::vector<std::string> SplitLinesModel(const std::string& text) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            lines.emplace_back();
        } else {
            lines.back().push_back(c);
        }
    }
    return lines;
}

std::vector<std::string> DocumentLines(const CLogDocument& doc) {
    std::vector<std::string> lines;
    for (const CLogLineSpan& span : doc.GetLines(0, SIZE_MAX)) {
        lines.push_back(doc.ReadBytes(span.nStart, span.nLength));
    }
    return lines;
}

std::string AllText(const CLogDocument& doc) {
    return doc.ReadBytes(0, doc.GetSize());
}

class LogDocumentTest : public ::testing::Test {
protected:
    CTempFolder m_dir;
    CLogDocument m_doc{m_dir.Path()};
};

TEST_F(LogDocumentTest, EmptyLogIsOneEmptyLine) {
    EXPECT_EQ(m_doc.GetLineCount(), 1u);
    EXPECT_EQ(DocumentLines(m_doc), std::vector<std::string>{""});
    EXPECT_FALSE(m_doc.IsModified());
    EXPECT_TRUE(m_doc.GetLines(1, 5).empty());
}

TEST_F(LogDocumentTest, BreaksAreLfCrAndCrLfAlsoAcrossAppends) {
    m_doc.AppendUtf8("a\nb\rc\r", LOG_STYLE_PLAIN);
    EXPECT_EQ(m_doc.GetLineCount(), 4u);            // the CR at the end ends a line already
    m_doc.AppendUtf8("\nd\n\ne", LOG_STYLE_PLAIN);  // the LF completes that CR LF
    const std::vector<std::string> expected{"a", "b", "c", "d", "", "e"};
    EXPECT_EQ(DocumentLines(m_doc), expected);
    EXPECT_EQ(m_doc.GetLineCount(), expected.size());
}

TEST_F(LogDocumentTest, RandomAppendsMatchTheModelAcrossTailAndSpool) {
    // Enough text to pass through the spool several times, with long lines that cross the
    // index's checkpoints and CR LF pairs split between appends.
    std::mt19937 random(7);
    std::string text;
    while (text.size() < 3 * CLogDocument::kTailBytes) {
        std::string piece;
        const int nKind = static_cast<int>(random() % 10);
        const std::size_t nLength = nKind == 0 ? 200000 + random() % 100000 : random() % 300;
        for (std::size_t i = 0; i < nLength; ++i) {
            const unsigned r = random() % 40;
            piece.push_back(r == 0 ? '\r' : r == 1 ? '\n' : static_cast<char>('a' + r % 26));
        }
        if (nKind == 1) {
            piece += "\r";
        }
        text += piece;
        m_doc.AppendUtf8(piece, LOG_STYLE_PLAIN);
    }
    const std::vector<std::string> model = SplitLinesModel(text);
    ASSERT_EQ(m_doc.GetLineCount(), model.size());
    EXPECT_EQ(AllText(m_doc), text);
    // Every line through the block index, one at a time and in screens.
    for (std::size_t i = 0; i < model.size(); i += 1 + random() % 50) {
        const std::vector<CLogLineSpan> spans = m_doc.GetLines(i, 3);
        for (std::size_t k = 0; k < spans.size(); ++k) {
            ASSERT_EQ(m_doc.ReadBytes(spans[k].nStart, spans[k].nLength), model[i + k])
                << "line " << i + k;
        }
    }
}

TEST_F(LogDocumentTest, CrLfStraddlingACheckpointBelongsToOneLine) {
    std::string first(CLineIndex::kCheckpointBytes - 1, 'x');
    first += '\r';
    m_doc.AppendUtf8(first, LOG_STYLE_PLAIN);
    m_doc.AppendUtf8("\n" + std::string(CLineIndex::kCheckpointBytes * 2, 'y') + "\nz",
                     LOG_STYLE_PLAIN);
    const std::vector<CLogLineSpan> lines = m_doc.GetLines(0, 10);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].nLength, CLineIndex::kCheckpointBytes - 1);
    EXPECT_EQ(lines[1].nStart, CLineIndex::kCheckpointBytes + 1);
    EXPECT_EQ(lines[1].nLength, CLineIndex::kCheckpointBytes * 2);
    EXPECT_EQ(m_doc.ReadBytes(lines[2].nStart, lines[2].nLength), "z");
}

TEST_F(LogDocumentTest, StylesBoldPlainAndKeepAcrossAppends) {
    m_doc.AppendLog(L"A", LOG_STYLE_BOLD);
    m_doc.AppendLog(L"B", LOG_STYLE_PLAIN);
    m_doc.AppendLog(L"C", LOG_STYLE_KEEP);  // takes the plain format before it
    m_doc.AppendLog(L"DD", LOG_STYLE_BOLD);
    m_doc.AppendLog(L"E", LOG_STYLE_KEEP);  // stays bold
    m_doc.AppendLog(L"F", 7);               // any other style is plain
    const std::vector<CBoldRun> runs = m_doc.GetBoldRuns(0, m_doc.GetSize());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].nStart, 0u);
    EXPECT_EQ(runs[0].nEnd, 1u);
    EXPECT_EQ(runs[1].nStart, 3u);
    EXPECT_EQ(runs[1].nEnd, 6u);
    // A query inside a run gets it cut to the range.
    const std::vector<CBoldRun> inner = m_doc.GetBoldRuns(4, 5);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].nStart, 4u);
    EXPECT_EQ(inner[0].nEnd, 5u);
}

TEST_F(LogDocumentTest, AnEmptyAppendSetsTheFormatForTheNextOne) {
    m_doc.AppendLog(L"x", LOG_STYLE_PLAIN);
    m_doc.AppendLog(L"", LOG_STYLE_BOLD);
    m_doc.AppendLog(L"y", LOG_STYLE_KEEP);
    m_doc.AppendLog(L"", LOG_STYLE_PLAIN);
    m_doc.AppendLog(L"", LOG_STYLE_BOLD);
    m_doc.AppendLog(L"", LOG_STYLE_PLAIN);
    m_doc.AppendLog(L"z", LOG_STYLE_KEEP);
    const std::vector<CBoldRun> runs = m_doc.GetBoldRuns(0, 10);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].nStart, 1u);
    EXPECT_EQ(runs[0].nEnd, 2u);
}

TEST_F(LogDocumentTest, ManyRunsMatchTheModel) {
    // More runs than one chunk of the run store holds, with large and small gaps.
    std::mt19937 random(11);
    std::vector<bool> bold;
    for (int i = 0; i < 2000; ++i) {
        const bool bBold = random() % 2 == 0;
        const std::size_t n = 1 + random() % (i % 17 == 0 ? 40000 : 30);
        m_doc.AppendUtf8(std::string(n, 'q'), bBold ? LOG_STYLE_BOLD : LOG_STYLE_PLAIN);
        bold.insert(bold.end(), n, bBold);
    }
    for (int nTry = 0; nTry < 200; ++nTry) {
        const std::uint64_t nFrom = random() % bold.size();
        const std::uint64_t nTo = nFrom + random() % 5000;
        std::vector<bool> seen(bold.size(), false);
        std::uint64_t nLastEnd = 0;
        for (const CBoldRun& run : m_doc.GetBoldRuns(nFrom, nTo)) {
            ASSERT_LT(run.nStart, run.nEnd);
            ASSERT_GE(run.nStart, std::max(nFrom, nLastEnd));
            nLastEnd = run.nEnd;
            for (std::uint64_t k = run.nStart; k < run.nEnd; ++k) {
                seen[k] = true;
            }
        }
        for (std::uint64_t k = nFrom; k < std::min<std::uint64_t>(nTo, bold.size()); ++k) {
            ASSERT_EQ(seen[k], bold[k]) << "offset " << k;
        }
    }
}

TEST_F(LogDocumentTest, BlockBytesShowAsWindows1252AndZeroAsSymbol) {
    m_doc.AppendLogBytes(std::string("a\0b\x80\xE9 \xC3\xA9", 8), LOG_STYLE_PLAIN);
    EXPECT_EQ(AllText(m_doc),
              "a\xE2\x90\x80"
              "b\xE2\x82\xAC\xC3\xA9 \xC3\xA9");
}

TEST_F(LogDocumentTest, ClearEmptiesResetsFormatAndModified) {
    m_doc.AppendLog(L"head\r\n", LOG_STYLE_BOLD);
    EXPECT_TRUE(m_doc.IsModified());
    const std::uint64_t nResets = m_doc.GetResetCount();
    const std::uint64_t nGeneration = m_doc.GetGeneration();
    m_doc.Clear();
    EXPECT_EQ(m_doc.GetSize(), 0u);
    EXPECT_EQ(m_doc.GetLineCount(), 1u);
    EXPECT_FALSE(m_doc.IsModified());
    EXPECT_NE(m_doc.GetResetCount(), nResets);
    EXPECT_NE(m_doc.GetGeneration(), nGeneration);
    m_doc.AppendLog(L"x", LOG_STYLE_KEEP);
    EXPECT_TRUE(m_doc.GetBoldRuns(0, 1).empty());
    EXPECT_EQ(AllText(m_doc), "x");
}

TEST_F(LogDocumentTest, ExtractTextWritesEveryBreakAsTheGivenOne) {
    m_doc.AppendUtf8("a\r\nb\rc\nd\r", LOG_STYLE_PLAIN);
    EXPECT_EQ(m_doc.ExtractText(0, m_doc.GetSize(), "\n"), "a\nb\nc\nd\n");
    EXPECT_EQ(m_doc.ExtractText(3, 6, "<>"), "b<>c");
}

TEST_F(LogDocumentTest, AppendLargerThanTheTailGoesStraightToTheSpool) {
    m_doc.AppendUtf8("start\n", LOG_STYLE_BOLD);
    const std::string big(CLogDocument::kTailBytes + 12345, 'm');
    m_doc.AppendUtf8(big, LOG_STYLE_PLAIN);
    m_doc.AppendUtf8("\nend", LOG_STYLE_PLAIN);
    EXPECT_EQ(AllText(m_doc), "start\n" + big + "\nend");
    EXPECT_EQ(m_doc.GetLineCount(), 3u);
    const std::vector<CBoldRun> runs = m_doc.GetBoldRuns(0, m_doc.GetSize());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].nEnd, 6u);
}

// Readers see the right bytes while the writer thread moves chunks to the spool and the
// appends reuse them: every byte of the text is a function of its offset.
TEST_F(LogDocumentTest, ReadsWhileChunksMoveToTheSpoolSeeTheRightBytes) {
    const auto byteAt = [](std::uint64_t n) {
        return static_cast<char>('a' + (n * 7 + n / 13) % 26);
    };
    constexpr std::uint64_t kTotal = 6 * CLogDocument::kTailBytes;
    std::atomic<bool> bDone{false};
    std::atomic<int> nBad{0};
    std::thread reader([&] {
        std::mt19937_64 random(3);
        while (!bDone.load()) {
            const std::uint64_t nSize = m_doc.GetSize();
            if (nSize == 0) {
                continue;
            }
            const std::uint64_t nFrom = random() % nSize;
            const std::string bytes = m_doc.ReadBytes(nFrom, 1 + random() % (3 << 20));
            for (std::size_t i = 0; i < bytes.size(); i += 997) {
                if (bytes[i] != byteAt(nFrom + i)) {
                    ++nBad;
                }
            }
        }
    });
    std::mt19937 random(9);
    std::string piece;
    for (std::uint64_t nAt = 0; nAt < kTotal;) {
        piece.resize(1 + random() % 300000);
        for (std::size_t i = 0; i < piece.size(); ++i) {
            piece[i] = byteAt(nAt + i);
        }
        m_doc.AppendUtf8(piece, LOG_STYLE_PLAIN);
        nAt += piece.size();
    }
    bDone = true;
    reader.join();
    EXPECT_EQ(nBad.load(), 0);
    const std::string all = AllText(m_doc);
    ASSERT_EQ(all.size(), m_doc.GetSize());
    for (std::size_t i = 0; i < all.size(); i += 4093) {
        ASSERT_EQ(all[i], byteAt(i)) << i;
    }
}

TEST_F(LogDocumentTest, MemoryStaysSmallForManyLines) {
    // 10 million lines: the index holds a number per 64 lines, not per line.
    const std::string block(100000, '\n');
    for (int i = 0; i < 100; ++i) {
        m_doc.AppendUtf8(block, LOG_STYLE_PLAIN);
    }
    EXPECT_EQ(m_doc.GetLineCount(), 10000001u);
    EXPECT_LT(m_doc.GetMemoryUse(), CLogDocument::kTailBytes + (4u << 20));
    const std::vector<CLogLineSpan> middle = m_doc.GetLines(5000000, 2);
    ASSERT_EQ(middle.size(), 2u);
    EXPECT_EQ(middle[0].nStart, 5000000u);
}

// Relay threads write a marker line and a block under the module lock, as the sessions
// do, while the GUI thread reads: every block stays whole and each thread's blocks keep
// their order.
TEST_F(LogDocumentTest, EightThreadsUnderTheModuleLockKeepBlocksWholeAndInOrder) {
    constexpr int kThreads = 8;
    constexpr int kBlocks = 300;
    std::atomic<bool> bDone{false};
    std::thread reader([&] {
        while (!bDone.load()) {
            const std::uint64_t nLines = m_doc.GetLineCount();
            for (const CLogLineSpan& s : m_doc.GetLines(nLines > 20 ? nLines - 20 : 0, 20)) {
                (void)m_doc.ReadBytes(s.nStart, s.nLength);
            }
            (void)m_doc.GetBoldRuns(0, m_doc.GetSize());
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int b = 0; b < kBlocks; ++b) {
                CModuleLock lock;
                m_doc.AppendLog(L"\r\n" + std::to_wstring(t) + L"---<---\r\n", LOG_STYLE_BOLD);
                // A block of 3000 bytes naming its thread and number in every line.
                std::string block;
                for (int k = 0; k < 100; ++k) {
                    char line[32];
                    std::snprintf(line, sizeof line, "t%d b%04d k%02d ...........\n", t, b, k);
                    block += line;
                }
                m_doc.AppendLogBytes(block, LOG_STYLE_PLAIN);
            }
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    bDone = true;
    reader.join();

    const std::vector<std::string> lines = DocumentLines(m_doc);
    std::vector<int> nextBlock(kThreads, 0);
    std::size_t i = 0;
    int nBlocks = 0;
    while (i < lines.size()) {
        if (lines[i].find("---<---") == std::string::npos) {
            ++i;
            continue;
        }
        const int t = lines[i][0] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        for (int k = 0; k < 100; ++k) {
            char expected[32];
            std::snprintf(expected, sizeof expected, "t%d b%04d k%02d ...........", t,
                          nextBlock[static_cast<std::size_t>(t)], k);
            ASSERT_EQ(lines[i + 1 + static_cast<std::size_t>(k)], expected);
        }
        ++nextBlock[static_cast<std::size_t>(t)];
        ++nBlocks;
        i += 101;
    }
    EXPECT_EQ(nBlocks, kThreads * kBlocks);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(nextBlock[static_cast<std::size_t>(t)], kBlocks);
    }
    // Every marker line bold, nothing else.
    std::uint64_t nBold = 0;
    for (const CBoldRun& run : m_doc.GetBoldRuns(0, m_doc.GetSize())) {
        nBold += run.nEnd - run.nStart;
    }
    EXPECT_EQ(nBold, static_cast<std::uint64_t>(kThreads * kBlocks) * 12u);
}

}  // namespace
