// Where the spool file goes.
#include "logdoc/SpoolFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "RegistryTestSupport.h"
#include "TempFolder.h"

namespace {

TEST(SpoolFileTest, RuntimeFolderWithoutRoomGivesWayToTheCacheFolder) {
    CTempFolder dir;
    CEnvironmentVariable runtime("XDG_RUNTIME_DIR", dir.Path("no-such-runtime"));
    CEnvironmentVariable cache("XDG_CACHE_HOME", dir.Path("cache"));
    CSpoolFile spool;
    ASSERT_EQ(spool.Open(), 0);
    EXPECT_EQ(spool.GetFolder(), dir.Path("cache/tapvane"));
    // Unlinked: nothing in the folder names it.
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("cache/tapvane")));
}

TEST(SpoolFileTest, RuntimeFolderWithRoomIsTaken) {
    CTempFolder dir;
    if (std::filesystem::space(dir.Path()).available < CSpoolFile::kMinRuntimeFree) {
        GTEST_SKIP() << "the temporary folder has less than 4 GiB free";
    }
    CEnvironmentVariable runtime("XDG_RUNTIME_DIR", dir.Path());
    CSpoolFile spool;
    ASSERT_EQ(spool.Open(), 0);
    EXPECT_EQ(spool.GetFolder(), dir.Path());
}

TEST(SpoolFileTest, WritesAndReadsAtOffsetsAndTruncates) {
    CTempFolder dir;
    CSpoolFile spool;
    ASSERT_EQ(spool.Open(dir.Path()), 0);
    ASSERT_EQ(spool.WriteAt(0, "hello", 5), 0);
    ASSERT_EQ(spool.WriteAt(5, " world", 6), 0);
    char buffer[11];
    ASSERT_EQ(spool.ReadAt(0, buffer, 11), 0);
    EXPECT_EQ(std::string(buffer, 11), "hello world");
    ASSERT_EQ(spool.Truncate(), 0);
    EXPECT_EQ(spool.ReadAt(0, buffer, 1), EIO);
}

TEST(SpoolFileTest, AGrowingFileReadsBackWholeAfterItsOldPagesLeaveTheCache) {
    // Written in uneven pieces far past the part kept in the page cache (and again after a
    // truncation): every byte reads back, from the cache or from the disk.
    CTempFolder dir;
    CSpoolFile spool;
    ASSERT_EQ(spool.Open(dir.Path()), 0);
    const std::uint64_t nTotal =
        win::CDropBehind::kKeepCached + 3 * win::CDropBehind::kStep + 12345;
    const auto byteAt = [](std::uint64_t n) {
        return static_cast<char>((n * 7 + n / 4093) & 0xFF);
    };
    for (int nPass = 0; nPass < 2; ++nPass) {
        std::vector<char> piece;
        std::uint64_t nAt = 0;
        std::size_t nSize = 1;
        while (nAt < nTotal) {
            nSize = std::min<std::uint64_t>(nTotal - nAt, (nSize * 5 + 777) % (3 << 20) + 1);
            piece.resize(nSize);
            for (std::size_t i = 0; i < nSize; ++i) {
                piece[i] = byteAt(nAt + i);
            }
            ASSERT_EQ(spool.WriteAt(nAt, piece.data(), nSize), 0);
            nAt += nSize;
        }
        std::vector<char> read(CSpoolFile::kWritePiece + 3);
        for (std::uint64_t nFrom = 0; nFrom + read.size() <= nTotal; nFrom += nTotal / 37) {
            ASSERT_EQ(spool.ReadAt(nFrom, read.data(), read.size()), 0);
            for (std::size_t i = 0; i < read.size(); ++i) {
                ASSERT_EQ(read[i], byteAt(nFrom + i)) << "at " << nFrom + i;
            }
        }
        ASSERT_EQ(spool.Truncate(), 0);
    }
}

TEST(SpoolFileTest, MissingFolderFails) {
    CTempFolder dir;
    CSpoolFile spool;
    EXPECT_NE(spool.Open(dir.Path("missing")), 0);
    EXPECT_FALSE(spool.IsOpen());
}

}  // namespace
