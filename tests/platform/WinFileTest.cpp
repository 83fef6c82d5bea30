#include "platform/WinFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "platform/Kernel.h"
#include "platform/SystemText.h"
#include "platform/WinError.h"

using namespace win;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE OpenFile(const std::wstring& path, DWORD dwAccess, DWORD dwShare,
                DWORD dwCreation = OPEN_EXISTING) {
    return CreateFileW(path.c_str(), dwAccess, dwShare, false, dwCreation, 0);
}

}  // namespace

TEST(Win32ErrnoTest, MapsFileErrorsToWin32Codes) {
    const std::pair<int, DWORD> cases[] = {
        {ENOENT, 2},   {ENOTDIR, 3}, {EPERM, 5}, {EROFS, 5},  {EISDIR, 5},         {EEXIST, 80},
        {EDQUOT, 112}, {ENFILE, 4},  {EBADF, 6}, {EIO, 1117}, {ENAMETOOLONG, 206}, {EPROTO, 1},
    };
    for (const auto& [e, code] : cases) {
        EXPECT_EQ(Win32ErrorFromErrno(e), code) << "errno " << e;
    }
}

class WinFileTest : public ::testing::Test {
protected:
    CTempFolder m_dir;
};

TEST_F(WinFileTest, OpenFailuresGiveTheWin32Codes) {
    m_dir.WriteFile("there", "x");
    const struct {
        std::string name;
        DWORD dwAccess, dwCreation, dwError;
    } cases[] = {
        {"missing", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"nofolder/f", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {"nofolder/f", GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"there/f", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {"there", GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
        {"there", GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
        {"", GENERIC_READ, OPEN_ALWAYS, ERROR_ACCESS_DENIED},  // the folder itself
        {std::string(300, 'n'), GENERIC_READ, OPEN_EXISTING, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpenFile(m_dir.WPath(c.name), c.dwAccess, kShareAll, c.dwCreation), 0u);
        EXPECT_EQ(GetLastError(), c.dwError) << c.name;
    }
    EXPECT_EQ(m_dir.ReadFile("there"), "x");
}

TEST_F(WinFileTest, AlwaysModesReportAnExistingFile) {
    const std::wstring path = m_dir.WPath("f");
    HANDLE h = OpenFile(path, GENERIC_READ, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(h);
    struct stat st {};
    ASSERT_EQ(::stat(m_dir.Path("f").c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    // CREATE_ALWAYS empties the file even for a handle that may only read.
    m_dir.WriteFile("f", "abc");
    h = OpenFile(path, GENERIC_READ, 0, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(m_dir.ReadFile("f"), "");
}

TEST_F(WinFileTest, SharingFollowsTheFileNotTheNameAndEndsWithTheHandle) {
    m_dir.WriteFile("a", "data");
    ASSERT_EQ(::link(m_dir.Path("a").c_str(), m_dir.Path("b").c_str()), 0);
    const HANDLE h = OpenFile(m_dir.WPath("a"), GENERIC_READ, 0);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(OpenFile(m_dir.WPath("b"), GENERIC_READ, kShareAll), 0u);
    // A refused CREATE_ALWAYS must not empty the file.
    EXPECT_EQ(OpenFile(m_dir.WPath("b"), GENERIC_WRITE, kShareAll, CREATE_ALWAYS), 0u);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(m_dir.ReadFile("a"), "data");

    CloseHandle(h);
    const HANDLE h2 = OpenFile(m_dir.WPath("b"), GENERIC_READ, 0);
    EXPECT_NE(h2, 0u);
    CloseHandle(h2);
}

TEST_F(WinFileTest, ExclusiveOpensFromManyThreadsNeverOverlap) {
    m_dir.WriteFile("x", "");
    std::atomic<int> holders{0}, overlaps{0}, opened{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const HANDLE h = OpenFile(m_dir.WPath("x"), GENERIC_WRITE, 0);
                if (h != 0) {
                    overlaps += holders.fetch_add(1) != 0 ? 1 : 0;
                    ++opened;
                    --holders;
                    CloseHandle(h);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(opened.load(), 0);
}

TEST_F(WinFileTest, FilePointerRefusesBadPositions) {
    m_dir.WriteFile("f", "0123456789");
    const HANDLE h = OpenFile(m_dir.WPath("f"), GENERIC_READ, 0);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_END), 8u);
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), 9u);  // left where it was
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // 4 GiB and beyond only with the high part.
    EXPECT_EQ(SetFilePointer(h, 0x7FFFFFFF, nullptr, FILE_BEGIN), 0x7FFFFFFFu);
    EXPECT_EQ(SetFilePointer(h, 0x7FFFFFFF, nullptr, FILE_CURRENT), 0xFFFFFFFEu);
    EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
    EXPECT_EQ(high, 1);
    EXPECT_EQ(GetFileSize(h, nullptr), 10u);  // moving does not grow the file
    CloseHandle(h);
}

TEST_F(WinFileTest, AttributesAndFolders) {
    m_dir.WriteFile("f", "");
    EXPECT_EQ(GetFileAttributesW(m_dir.WPath("f").c_str()), FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(::chmod(m_dir.Path("f").c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesW(m_dir.WPath("f").c_str()), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(m_dir.WPath().c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(m_dir.WPath("none/f").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(CreateDirectoryW(m_dir.WPath("d").c_str(), nullptr));
    struct stat st {};
    ASSERT_EQ(0, ::stat(m_dir.Path("d").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777) << "the data folders are their owner's only";
    EXPECT_TRUE(PathIsDirectoryW(m_dir.WPath("d").c_str()));
    EXPECT_FALSE(PathIsDirectoryW(m_dir.WPath("f").c_str()));
    for (const char* name : {"d", "f"}) {
        EXPECT_FALSE(CreateDirectoryW(m_dir.WPath(name).c_str(), nullptr));
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << name;
    }
    for (const char* name : {"x/y", "f/y"}) {
        EXPECT_FALSE(CreateDirectoryW(m_dir.WPath(name).c_str(), nullptr));
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND) << name;
    }
}

TEST(GetFileTitleTest, GivesTheNamePartOrTheSizeItNeeds) {
    wchar_t buf[16] = {};
    EXPECT_EQ(GetFileTitleW(L"/a/b/name.txt", buf, 16), 0);
    EXPECT_EQ(std::wstring(buf), L"name.txt");
    EXPECT_EQ(GetFileTitleW(L"/a/name.txt", buf, 8), 9);
    EXPECT_LT(GetFileTitleW(L"/a/b/", buf, 16), 0);
}
