#include "platform/ShellFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "RegistryTestSupport.h"
#include "platform/Kernel.h"
#include "platform/WinError.h"

using namespace win;

namespace {

class ShellFoldersTest : public ::testing::Test {
protected:
    // The desktop folder with the given user-dirs.dirs content ("" writes no file).
    std::wstring Desktop(const std::string& strUserDirs, BOOL bCreate = FALSE) {
        std::filesystem::create_directories(m_registry.Folder().Path("config"));
        if (!strUserDirs.empty()) {
            m_registry.Folder().WriteFile("config/user-dirs.dirs", strUserDirs);
        }
        wchar_t sz[MAX_PATH];
        EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, sz, CSIDL_DESKTOP, bCreate));
        return sz;
    }
    std::wstring Home(const std::string& strBelow) const {
        const std::string s = m_registry.Home() + strBelow;
        return std::wstring(s.begin(), s.end());
    }

    CTempRegistry m_registry;
};

TEST_F(ShellFoldersTest, TheDesktopIsReadFromTheUserDirectories) {
    EXPECT_EQ(Desktop(""), Home("/Desktop"));
    EXPECT_FALSE(std::filesystem::exists(m_registry.Home() + "/Desktop"));
    EXPECT_EQ(Desktop("XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"), Home("/Bureau"));
    EXPECT_EQ(Desktop("  XDG_DESKTOP_DIR = \"/srv/desk/\"  # shared\n"), L"/srv/desk");
    EXPECT_EQ(Desktop("XDG_DESKTOP_DIR=\"$HOME/My \\\"Desk\\\"\"\n"), Home("/My \"Desk\""));
    EXPECT_EQ(Desktop("XDG_DESKTOP_DIR=\"$HOME\"\n"), Home(""));
    // Comments, other entries, relative paths and unclosed quotes are passed over.
    EXPECT_EQ(Desktop("# XDG_DESKTOP_DIR=\"/commented\"\n"
                      "XDG_DESKTOP_DIRX=\"/other\"\n"
                      "XDG_DESKTOP_DIR=\"relative\"\n"
                      "XDG_DESKTOP_DIR=\"$HOMEWORK\"\n"
                      "XDG_DESKTOP_DIR=\"/unclosed\n"),
              Home("/Desktop"));
    EXPECT_EQ(Desktop("XDG_DESKTOP_DIR=\"$HOME/Desk top\"\n", TRUE), Home("/Desk top"));
    EXPECT_TRUE(std::filesystem::is_directory(m_registry.Home() + "/Desk top"));
}

TEST_F(ShellFoldersTest, FailuresLeaveTheBufferEmptyAndSetTheLastError) {
    wchar_t sz[MAX_PATH] = L"x";
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, sz, 5, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    std::filesystem::create_directories(m_registry.Folder().Path("config"));
    m_registry.Folder().WriteFile("config/user-dirs.dirs",
                                  "XDG_DESKTOP_DIR=\"/" + std::string(MAX_PATH, 'd') + "\"\n");
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, sz, CSIDL_DESKTOP, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(sz[0], L'\0');
}

}  // namespace
