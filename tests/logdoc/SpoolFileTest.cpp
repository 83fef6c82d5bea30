// Where the spool file goes.
#include "logdoc/SpoolFile.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST(SpoolFileTest, MissingFolderFails) {
    CTempFolder dir;
    CSpoolFile spool;
    EXPECT_NE(spool.Open(dir.Path("missing")), 0);
    EXPECT_FALSE(spool.IsOpen());
}

}  // namespace
