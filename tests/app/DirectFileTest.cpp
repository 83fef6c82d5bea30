// Writing a log file around the page cache: whole blocks directly, the rest of a block
// through the cache and again with its block; the same file as a cached writer makes, for
// every cut around a block's end; a descriptor shared with others left as it was found.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "SocketTestSupport.h"
#include "TempFolder.h"
#include "app/DirectFile.h"
#include "app/LogFileWriter.h"
#include "platform/TextConv.h"

namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string RandomBytes(std::mt19937& rng, std::size_t n, bool bBinary) {
    std::string s(n, '\0');
    for (char& c : s) {
        if (bBinary) {
            c = static_cast<char>(rng() & 0xFF);
        } else {
            // Text with line breaks and two-byte UTF-8 characters, which a cut may split.
            static const char kPieces[] = "ab \r\n\xC3\xA9z";
            c = kPieces[rng() % (sizeof(kPieces) - 1)];
        }
    }
    return s;
}

// Equal bytes, or where they first differ (a whole file in a message helps nobody).
testing::AssertionResult SameBytes(const std::string& strExpected, const std::string& strActual) {
    if (strExpected == strActual) {
        return testing::AssertionSuccess();
    }
    std::size_t i = 0;
    while (i < strExpected.size() && i < strActual.size() && strExpected[i] == strActual[i]) {
        ++i;
    }
    return testing::AssertionFailure() << strActual.size() << " bytes instead of "
                                       << strExpected.size() << ", first difference at " << i;
}

int OpenNew(const std::string& strPath, int nExtra = 0) {
    return ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | nExtra, 0600);
}

TEST(DirectFileTest, WritesWholeBlocksDirectlyAndTheRestThroughTheCacheAtEveryCut) {
    CTempFolder folder;
    const std::string strPath = folder.Path("out");
    const int fd = OpenNew(strPath);
    ASSERT_GE(fd, 0);
    auto pFile = CDirectFile::Attach(fd, 64 * 1024);
    if (!pFile) {
        ::close(fd);
        GTEST_SKIP() << "this file system takes no direct writes";
    }
    EXPECT_TRUE(pFile->IsDirect());
    std::mt19937 rng(7);
    CDirectFile::Text text;
    text.nCapacity = 64 * 1024;
    text.p = CDirectFile::AllocateBuffer(text.nCapacity);
    std::size_t nSize = 0;
    std::size_t nDone = 0;
    std::string strExpected;
    // Pieces that end just before, at and just after block ends, and several blocks long.
    for (const std::size_t nPiece :
         {1u, 4094u, 1u, 1u, 4095u, 4097u, 8192u, 3u, 12289u, 100u, 40000u, 4096u, 4095u}) {
        ASSERT_LE(nSize + nPiece, text.nCapacity);
        const std::string strPiece = RandomBytes(rng, nPiece, true);
        std::memcpy(text.p.get() + nSize, strPiece.data(), nPiece);
        nSize += nPiece;
        strExpected += strPiece;
        ASSERT_EQ(0, pFile->WriteBlocks(text, nSize, nDone));
        EXPECT_LT(nSize, CDirectFile::kBlock);
        EXPECT_EQ(0u, pFile->Base() % CDirectFile::kBlock);
        EXPECT_EQ(strExpected.size() - nSize, pFile->Base());
        if (nPiece % 2 == 1) {
            // Idle: the rest goes in through the cache, and the file is complete.
            ASSERT_EQ(0, pFile->WriteRest(text.p.get(), nSize, nDone));
            EXPECT_EQ(nSize, nDone);
            ASSERT_TRUE(SameBytes(strExpected, ReadFile(strPath))) << "after a piece of " << nPiece;
        }
    }
    ASSERT_EQ(0, pFile->WriteRest(text.p.get(), nSize, nDone));
    EXPECT_TRUE(pFile->IsDirect());
    EXPECT_EQ(0u, pFile->Queued());
    pFile.reset();
    EXPECT_TRUE(SameBytes(strExpected, ReadFile(strPath)));
    // The descriptor is as a writer after us expects it: cached, at the end.
    EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_DIRECT);
    EXPECT_EQ(static_cast<off_t>(strExpected.size()), ::lseek(fd, 0, SEEK_CUR));
    ::close(fd);
}

TEST(DirectFileTest, AppendingOrUnalignedDescriptorsAndPipesAreNotTakenOver) {
    CTempFolder folder;
    const int fdAppend = OpenNew(folder.Path("append"), O_APPEND);
    ASSERT_GE(fdAppend, 0);
    EXPECT_FALSE(CDirectFile::Attach(fdAppend, 4096));
    ::close(fdAppend);

    const int fdUnaligned = OpenNew(folder.Path("unaligned"));
    ASSERT_GE(fdUnaligned, 0);
    ASSERT_EQ(3, ::write(fdUnaligned, "abc", 3));
    EXPECT_FALSE(CDirectFile::Attach(fdUnaligned, 4096));
    EXPECT_EQ(0, ::fcntl(fdUnaligned, F_GETFL) & O_DIRECT);
    ::close(fdUnaligned);

    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    EXPECT_FALSE(CDirectFile::Attach(pipeFds[1], 4096));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

// Feeds the same appends to a writer that writes around the cache and to one that does not,
// with flushes between some of them, and compares both files with the text expected.
TEST(DirectFileTest, TheLogWriterMakesTheSameFileAroundTheCacheAsThroughIt) {
    CTempFolder folder;
    CLogWriterLimits direct;
    direct.nDirectChunk = 16 * 1024;  // many buffers, so that the writes' thread queues some
    CLogWriterLimits cached;
    cached.bDirect = false;
    std::string strError;
    auto pDirect = CLogFileWriter::Open(folder.Path("direct"), nullptr, strError, direct);
    ASSERT_TRUE(pDirect) << strError;
    auto pCached = CLogFileWriter::Open(folder.Path("cached"), nullptr, strError, cached);
    ASSERT_TRUE(pCached) << strError;

    std::mt19937 rng(11);
    std::string strExpected;
    for (int i = 0; i < 400; ++i) {
        const bool bBlock = rng() % 3 != 0;
        // Around block ends and far beyond them.
        static const std::size_t kSizes[] = {1, 7, 4095, 4096, 4097, 1365, 9000, 70000};
        const std::size_t nSize = kSizes[rng() % std::size(kSizes)] + rng() % 3;
        const std::string strBytes = RandomBytes(rng, nSize, rng() % 2 == 0);
        if (bBlock) {
            pDirect->AppendBlock(strBytes);
            pCached->AppendBlock(strBytes);
            win::AppendAnsiAsUtf8(strBytes, strExpected, true);
        } else {
            pDirect->Append(strBytes);
            pCached->Append(strBytes);
            strExpected += strBytes;
        }
        if (rng() % 25 == 0) {
            ASSERT_TRUE(pDirect->Flush(10s));
            ASSERT_TRUE(SameBytes(strExpected, ReadFile(folder.Path("direct"))))
                << "after append " << i;
        }
    }
    ASSERT_TRUE(pDirect->Flush(10s));
    ASSERT_TRUE(pCached->Flush(10s));
    pDirect->Close();
    pCached->Close();
    EXPECT_TRUE(pDirect->IsComplete());
    EXPECT_TRUE(SameBytes(strExpected, ReadFile(folder.Path("direct"))));
    EXPECT_TRUE(SameBytes(strExpected, ReadFile(folder.Path("cached"))));
}

TEST(DirectFileTest, TheEndOfTheTextReachesTheFileWhenNothingMoreComes) {
    CTempFolder folder;
    std::string strError;
    auto pWriter = CLogFileWriter::Open(folder.Path("log"), nullptr, strError);
    ASSERT_TRUE(pWriter) << strError;
    std::mt19937 rng(3);
    std::string strExpected;
    // A few bytes, then enough for a direct write and a rest, then a rest alone again: each
    // shows in the file by itself, as `tail -f` expects, and the rest is written again.
    for (const std::size_t nSize : {10u, 3u * 4096u + 50u, 5000u, 20u}) {
        const std::string strBytes = RandomBytes(rng, nSize, false);
        pWriter->AppendBlock(strBytes);
        win::AppendAnsiAsUtf8(strBytes, strExpected, true);
        EXPECT_TRUE(
            test::WaitUntil([&] { return ReadFile(folder.Path("log")) == strExpected; }, 5s))
            << "after " << nSize << " bytes";
    }
    pWriter->Close();
    EXPECT_TRUE(SameBytes(strExpected, ReadFile(folder.Path("log"))));
}

TEST(DirectFileTest, AStandardOutputSharedWithOthersIsNeverWrittenDirectly) {
    // `tapvane-cli >out 2>&1`: the standard error's small writes share the open file, and
    // would be refused while it had O_DIRECT.
    CTempFolder folder;
    const std::string strPath = folder.Path("stdout");
    const int fd = OpenNew(strPath);
    ASSERT_GE(fd, 0);
    const int fdErr = ::dup(fd);
    ASSERT_GE(fdErr, 0);
    std::string strExpected;
    {
        CLogFileWriter writer(fd, false, "the standard output", nullptr);
        std::mt19937 rng(5);
        for (int i = 0; i < 50; ++i) {
            const std::string strBytes = RandomBytes(rng, 1000 + rng() % 9000, true);
            writer.AppendBlock(strBytes);
            win::AppendAnsiAsUtf8(strBytes, strExpected, true);
            if (i % 10 == 0) {
                ASSERT_TRUE(writer.Flush(10s));
                EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_DIRECT);
                ASSERT_EQ(4, ::write(fdErr, "err\n", 4));
                strExpected += "err\n";
            }
        }
        writer.Close();
    }
    EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_DIRECT);
    ::close(fdErr);
    ::close(fd);
    EXPECT_TRUE(SameBytes(strExpected, ReadFile(strPath)));
}

}  // namespace
