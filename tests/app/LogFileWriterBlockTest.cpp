// Relayed blocks handed to the command-line relay's log outputs as their bytes: made into
// the log's text on the writer's thread, in order with the text around them, and a flush
// that returns only once that text is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>

#include "TempFolder.h"
#include "app/ConsoleLog.h"
#include "app/LogFileWriter.h"
#include "module/Messages.h"
#include "platform/TextConv.h"

namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string TextOf(std::string_view bytes) {
    std::string out(3 * bytes.size(), '\0');
    out.resize(win::AnsiToUtf8(bytes, out.data(), true));
    return out;
}

TEST(LogFileWriterBlockTest, BlocksBecomeTheLogsTextInOrderWithTheTextAround) {
    CTempFolder folder;
    std::string strError;
    CLogWriterLimits limits;
    limits.nBatch = 64 * 1024;  // many batches, with blocks at their edges
    limits.nCapacity = 256 * 1024;
    auto pWriter = CLogFileWriter::Open(folder.Path("log"), {}, strError, limits);
    ASSERT_TRUE(pWriter) << strError;

    std::mt19937 random(4);
    std::string expected;
    for (int i = 0; i < 400; ++i) {
        const std::string marker = "\r\n" + std::to_string(i) + "---<---\r\n";
        pWriter->Append(marker);
        expected += marker;
        std::string block(random() % 40000, '\0');
        for (char& c : block) {
            c = static_cast<char>(random() % 3 == 0 ? 'a' : random());
        }
        pWriter->AppendBlock(block);
        expected += TextOf(block);
        if (i % 100 == 99) {
            // A flush counts what was appended, not what the text grew to.
            ASSERT_TRUE(pWriter->Flush(10s));
            ASSERT_TRUE(ReadFile(folder.Path("log")) == expected) << i;
        }
    }
    pWriter->Close();
    EXPECT_TRUE(pWriter->IsComplete());
    EXPECT_TRUE(ReadFile(folder.Path("log")) == expected);
}

// The text goes out in pieces of about one write's size: a block is converted whole even
// when its text is larger than a piece (a character of several bytes is never cut in two),
// and a long run of plain text is written as it is.
TEST(LogFileWriterBlockTest, WritesInPiecesWithoutCuttingACharacterInTwo) {
    CTempFolder folder;
    std::string strError;
    CLogWriterLimits limits;
    limits.nBatch = 8 * 1024;
    limits.nCapacity = 32 * 1024;
    limits.nWriteChunk = 1000;
    auto pWriter = CLogFileWriter::Open(folder.Path("log"), {}, strError, limits);
    ASSERT_TRUE(pWriter) << strError;

    // Characters of one to four bytes, a lone byte that is no character, a zero byte.
    const std::string pieces[] = {"a",    "\xc3\xa9",           "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                  "\x80", std::string(1, '\0'), "\r\n"};
    std::mt19937 random(11);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        if (random() % 4 == 0) {
            const std::string plain(random() % 3000 + 1, static_cast<char>('A' + i % 26));
            pWriter->Append(plain);
            expected += plain;
        }
        std::string block;
        const std::size_t nPieces = random() % 1500 + 1;
        while (block.size() < nPieces) {
            block += pieces[random() % std::size(pieces)];
        }
        pWriter->AppendBlock(block);
        expected += TextOf(block);
    }
    pWriter->Close();
    EXPECT_TRUE(pWriter->IsComplete());
    const std::string strFile = ReadFile(folder.Path("log"));
    ASSERT_EQ(expected.size(), strFile.size());
    EXPECT_TRUE(strFile == expected)
        << "first difference at "
        << std::mismatch(expected.begin(), expected.end(), strFile.begin()).first -
               expected.begin();
}

TEST(LogFileWriterBlockTest, ConsoleLogWritesMarkersBoldAndBlocksAsText) {
    CTempFolder folder;
    std::string strError;
    auto pOut = CLogFileWriter::Open(folder.Path("out"), {}, strError);
    auto pFile = CLogFileWriter::Open(folder.Path("file"), {}, strError);
    ASSERT_TRUE(pOut && pFile) << strError;
    CConsoleLog console(pOut.get(), true, pFile.get());
    const std::string block("GET / HTTP/1.1\r\n\0\xe9", 18);
    console.AppendLogUtf8("\r\n1---<---\r\n", LOG_STYLE_BOLD);
    console.AppendLogBytes(block, LOG_STYLE_PLAIN);
    console.AppendLogBytes(block, LOG_STYLE_BOLD);  // a bold block keeps its codes around it
    pOut->Close();
    pFile->Close();
    const std::string text = "GET / HTTP/1.1\r\n\xe2\x90\x80\xc3\xa9";
    EXPECT_EQ("\r\n1---<---\r\n" + text + text, ReadFile(folder.Path("file")));
    EXPECT_EQ("\x1b[1m\r\n1---<---\r\n\x1b[0m" + text + "\x1b[1m" + text + "\x1b[0m",
              ReadFile(folder.Path("out")));
}

}  // namespace
