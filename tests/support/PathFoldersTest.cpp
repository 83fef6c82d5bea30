#include "support/PathFolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "support/Exception.h"
#include "support/SystemErrorText.h"

namespace fs = std::filesystem;

class PathFoldersTest : public ::testing::Test {
protected:
    std::size_t CountEntries() const {
        return static_cast<std::size_t>(std::distance(
            fs::recursive_directory_iterator(m_dir.Path()), fs::recursive_directory_iterator()));
    }
    CTempFolder m_dir;
};

TEST_F(PathFoldersTest, CreatesTheMissingFoldersButNotTheFile) {
    m_dir.WriteFile("keep", "k");
    CreatePathFolders(m_dir.WPath("a/b/c/file.txt"));
    EXPECT_TRUE(fs::is_directory(m_dir.Path("a/b/c")));
    EXPECT_EQ(CountEntries(), 4u);  // a, b, c and keep: no file.txt

    // A trailing '/' makes the last part a folder too; doubled slashes add nothing.
    CreatePathFolders(m_dir.WPath("a//b/d//e/"));
    EXPECT_TRUE(fs::is_directory(m_dir.Path("a/b/d/e")));
    EXPECT_EQ(CountEntries(), 6u);
    EXPECT_EQ(m_dir.ReadFile("keep"), "k");

    // An existing folder, or a bare name, needs nothing.
    CreatePathFolders(m_dir.WPath("a/b"));
    CreatePathFolders(L"tapvane-no-such-file.txt");
    EXPECT_EQ(CountEntries(), 6u);
    EXPECT_FALSE(fs::exists("tapvane-no-such-file.txt"));
}

TEST_F(PathFoldersTest, FileInTheWayRaisesTheFolderAndSystemText) {
    m_dir.WriteFile("blocker", "");
    const std::wstring blocker = m_dir.WPath("blocker");
    std::wstring strSystem = GetSystemErrorText(183);
    std::erase_if(strSystem, [](wchar_t c) { return c == L'\r' || c == L'\n'; });
    try {
        CreatePathFolders(blocker + L"/sub/deeper/f.txt");
        FAIL() << "nothing raised";
    } catch (CException* p) {
        const std::unique_ptr<CException> e(p);
        // The part of the path that is wrong, with the system's text, then what is wrong with
        // it (not a missing path further down).
        EXPECT_EQ(e->GetText(), L"CreateDirectory '" + blocker + L"' failed: 183 '" + strSystem +
                                    L"'\n'" + blocker + L"' is a file, not a folder.\n");
    }
}

TEST_F(PathFoldersTest, AFileWhereTheLastFolderShouldBeIsNoFolder) {
    m_dir.WriteFile("data", "not a folder");
    try {
        CreatePathFolders(m_dir.WPath("data") + L"/");
        FAIL() << "nothing raised: the file passed for a folder";
    } catch (CException* p) {
        const std::unique_ptr<CException> e(p);
        EXPECT_TRUE(
            e->GetText().ends_with(L"\n'" + m_dir.WPath("data") + L"' is a file, not a folder.\n"))
            << std::string(e->GetText().begin(), e->GetText().end());
    }
    EXPECT_EQ("not a folder", m_dir.ReadFile("data"));
}

TEST_F(PathFoldersTest, ThreadsCreatingTheSameTreeAllSucceed) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 5; ++round) {
        const std::string tree = "r" + std::to_string(round) + "/a/b/c/d/e/f/g";
        std::vector<int> failed(kThreads, 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                try {
                    CreatePathFolders(m_dir.WPath(tree + "/file.txt"));
                } catch (CException* p) {
                    delete p;
                    failed[i] = 1;
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        EXPECT_EQ(std::count(failed.begin(), failed.end(), 1), 0) << tree;
        EXPECT_TRUE(fs::is_directory(m_dir.Path(tree)));
    }
}
