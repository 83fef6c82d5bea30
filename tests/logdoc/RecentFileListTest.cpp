// The recent file list and its registry form.
#include "logdoc/RecentFileList.h"

#include <gtest/gtest.h>

#include "RegistryTestSupport.h"
#include "platform/Registry.h"

namespace {

bool HasValue(const std::wstring& strName) {
    HKEY hKey = 0;
    if (win::RegOpenKeyExW(win::HKEY_CURRENT_USER, CRecentFileList::KeyPath().c_str(), 0,
                           win::KEY_READ, &hKey) != 0) {
        return false;
    }
    DWORD cb = 0;
    const bool bHas =
        win::RegQueryValueExW(hKey, strName.c_str(), nullptr, nullptr, nullptr, &cb) == 0;
    win::RegCloseKey(hKey);
    return bHas;
}

DWORD QueryCount() {
    HKEY hKey = 0;
    DWORD dw = 0;
    DWORD cb = sizeof dw;
    if (win::RegOpenKeyExW(win::HKEY_CURRENT_USER, CRecentFileList::KeyPath().c_str(), 0,
                           win::KEY_READ, &hKey) == 0) {
        win::RegQueryValueExW(hKey, L"DocumentCount", nullptr, nullptr,
                              reinterpret_cast<BYTE*>(&dw), &cb);
        win::RegCloseKey(hKey);
    }
    return dw;
}

TEST(RecentFileListTest, AddPutsOnTopDropsCaseDuplicatesAndTheOldest) {
    CRecentFileList list;
    for (const wchar_t* psz : {L"/a/1.txt", L"/a/2.txt", L"/a/3.txt", L"/a/4.txt", L"/a/5.txt"}) {
        list.Add(psz);
    }
    EXPECT_EQ(list.GetEntries(),
              (std::vector<std::wstring>{L"/a/5.txt", L"/a/4.txt", L"/a/3.txt", L"/a/2.txt"}));
    list.Add(L"/A/3.TXT");
    EXPECT_EQ(list.GetEntries(),
              (std::vector<std::wstring>{L"/A/3.TXT", L"/a/5.txt", L"/a/4.txt", L"/a/2.txt"}));
    list.MoveToTop(3);
    EXPECT_EQ(list.Get(0), L"/a/2.txt");
    list.Remove(1);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.Get(1), L"/a/5.txt");
    EXPECT_EQ(list.Get(7), L"");
}

TEST(RecentFileListTest, FiveSavesLeaveFourValuesAndNoFifth) {
    CTempRegistry registry;
    {
        // A longer list written before leaves stale values that must go.
        CRecentFileList old(8);
        for (int i = 0; i < 8; ++i) {
            old.Add(L"/old/" + std::to_wstring(i));
        }
        old.WriteToRegistry();
        ASSERT_TRUE(HasValue(L"Document8"));
    }
    CRecentFileList list;
    for (int i = 1; i <= 5; ++i) {
        list.Add(L"/logs/" + std::to_wstring(i) + L".txt");
        list.WriteToRegistry();
    }
    EXPECT_EQ(QueryCount(), 4u);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_TRUE(HasValue(L"Document" + std::to_wstring(n))) << n;
    }
    for (int n = 5; n <= 15; ++n) {
        EXPECT_FALSE(HasValue(L"Document" + std::to_wstring(n))) << n;
    }
    CRecentFileList read;
    read.ReadFromRegistry();
    EXPECT_EQ(read.GetEntries(), list.GetEntries());
    EXPECT_EQ(read.Get(0), L"/logs/5.txt");
    EXPECT_EQ(read.MenuText(0), L"&1 /logs/5.txt");
}

TEST(RecentFileListTest, DocumentCountSetsTheMaximumOnReading) {
    CTempRegistry registry;
    CRecentFileList six(6);
    for (int i = 1; i <= 6; ++i) {
        six.Add(L"/f" + std::to_wstring(i));
    }
    six.WriteToRegistry();
    CRecentFileList read;
    read.ReadFromRegistry();
    EXPECT_EQ(read.GetMaxEntries(), 6);
    EXPECT_EQ(read.GetEntries(), six.GetEntries());
}

TEST(RecentFileListTest, MissingKeyGivesAnEmptyList) {
    CTempRegistry registry;
    CRecentFileList list;
    list.Add(L"/x");
    list.ReadFromRegistry();  // nothing stored: the list stays as it was
    EXPECT_EQ(list.GetCount(), 1);
}

TEST(RecentFileListTest, LongPathsStayWholeAndShowShortened) {
    CTempRegistry registry;
    const std::wstring strLong = L"/home/user/" + std::wstring(300, L'd') + L"/capture-2026.txt";
    CRecentFileList list;
    list.Add(strLong);
    list.WriteToRegistry();
    CRecentFileList read;
    read.ReadFromRegistry();
    EXPECT_EQ(read.Get(0), strLong);
    const std::wstring strShown = CRecentFileList::DisplayPath(strLong);
    EXPECT_LE(strShown.size(), CRecentFileList::kMaxDisplayChars);
    EXPECT_EQ(strShown.substr(0, 9), L"/home/...");
    EXPECT_EQ(strShown.substr(strShown.size() - 17), L"/capture-2026.txt");
    EXPECT_EQ(CRecentFileList::DisplayPath(L"/short/path.txt"), L"/short/path.txt");
    // A file name longer than the room keeps its name whole.
    const std::wstring strName(100, L'n');
    EXPECT_EQ(CRecentFileList::DisplayPath(L"/a/b/" + strName), L".../" + strName);
}

}  // namespace
