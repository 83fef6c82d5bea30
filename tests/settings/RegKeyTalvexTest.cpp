#include "settings/RegKeyTalvex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"
#include "platform/WinError.h"
#include "support/Exception.h"

using namespace win;

namespace {

constexpr const wchar_t* kServersPath = L"SOFTWARE\\Velmor\\Tapvane\\Config\\Servers";

struct CServer {
    std::wstring strURL;
    DWORD nPort;
    DWORD nPortRemote;
    bool operator==(const CServer&) const = default;
};

// What a sorted combo box does with the texts and records it is given.
class CSortedList : public IServerList {
public:
    struct CEntry {
        std::wstring strText;
        std::unique_ptr<ServerPorts> pPorts;
    };

    int AddText(const std::wstring& strText) override {
        const auto it = std::upper_bound(m_entries.begin(), m_entries.end(), strText,
                                         [](const std::wstring& s, const CEntry& e) {
                                             return CompareServerText(s, e.strText) < 0;
                                         });
        const auto nPosition = static_cast<int>(it - m_entries.begin());
        m_entries.insert(it, CEntry{strText, nullptr});
        return nPosition;
    }
    void SetPorts(int nPosition, std::unique_ptr<ServerPorts> pPorts) override {
        ++m_nPortsSet;
        if (nPosition >= 0 && nPosition < static_cast<int>(m_entries.size())) {
            m_entries[static_cast<std::size_t>(nPosition)].pPorts = std::move(pPorts);
        }
    }
    void Select(int nPosition) override {
        ++m_nSelects;
        m_nSelected =
            nPosition >= 0 && nPosition < static_cast<int>(m_entries.size()) ? nPosition : -1;
    }

    std::vector<CServer> Servers() const {
        std::vector<CServer> servers;
        for (const CEntry& e : m_entries) {
            servers.push_back(e.pPorts ? CServer{e.strText, e.pPorts->nPort, e.pPorts->nPortRemote}
                                       : CServer{e.strText, 0xFFFF'FFFF, 0xFFFF'FFFF});
        }
        return servers;
    }

    std::vector<CEntry> m_entries;
    int m_nSelected = -1;
    int m_nSelects = 0;
    int m_nPortsSet = 0;
};

// A list that takes no text, as a full combo box.
class CFullList : public IServerList {
public:
    int AddText(const std::wstring&) override { return -2; }
    void SetPorts(int, std::unique_ptr<ServerPorts>) override { ++m_nPortsSet; }
    void Select(int) override {}
    int m_nPortsSet = 0;
};

std::vector<std::wstring> ServerSubkeys() {
    std::vector<std::wstring> names;
    HKEY h = 0;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kServersPath, 0, KEY_READ, &h) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t sz[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(h, i, sz, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(sz);
    }
    RegCloseKey(h);
    return names;
}

CServer ServerOf(CRegKeyTalvex& settings, LONG nServer) {
    return CServer{settings.GetServerURL(nServer), settings.GetServerPort(nServer),
                   settings.GetServerPortRemote(nServer)};
}

const std::vector<CServer> kBuiltIn = {
    {L"ftp://", 21, 0}, {L"http://", 80, 0}, {L"https://", 443, 0}, {L"imap.", 143, 0},
    {L"news.", 119, 0}, {L"pop.", 110, 0},   {L"smtp.", 25, 0},
};

class RegKeyTalvexTest : public ::testing::Test {
protected:
    CTempRegistry m_registry;
    CRegKeyTalvex m_settings;
};

TEST_F(RegKeyTalvexTest, NamesAndPathsAreTheStoredOnes) {
    EXPECT_EQ(m_settings.GetKeyPath(), L"SOFTWARE\\Velmor\\Tapvane\\Config");
    EXPECT_EQ(m_settings.GetKeyRoot(), HKEY_CURRENT_USER);
    EXPECT_EQ(CRegKeyTalvex(L"\\Test").GetKeyPath(), L"SOFTWARE\\Velmor\\Tapvane\\Test\\Config");
    EXPECT_EQ(CRegKeyTalvex::ServerKeyName(3), L"\\Servers\\3");
    EXPECT_EQ(CRegKeyTalvex::ServerKeyName(-1), L"\\Servers\\-1");

    m_settings.SetReplaceHostHeader(true);
    m_settings.SetSaveResponse(false);
    m_settings.SetDataFolder(L"/data/");
    m_settings.SetDefaultServerID(4);
    m_settings.SetServerURL(3, L"example.com");
    m_settings.SetServerPort(3, 8080);
    m_settings.SetServerPortRemote(3, 80);

    CRegkeyBase raw(L"SOFTWARE\\Velmor\\Tapvane\\Config", HKEY_CURRENT_USER);
    EXPECT_EQ(raw.QueryDWORD(L"Replace host header", 9), 1u);
    EXPECT_EQ(raw.QueryDWORD(L"Save Response", 9), 0u);
    EXPECT_EQ(raw.QueryString(L"Applacation Data Folder"), L"/data/");
    EXPECT_EQ(raw.QueryDWORD(L"Default Server ID", 9), 4u);
    EXPECT_EQ(raw.QueryString(L"URL", nullptr, L"\\Servers\\3"), L"example.com");
    EXPECT_EQ(raw.QueryDWORD(L"Port", 9, L"\\Servers\\3"), 8080u);
    EXPECT_EQ(raw.QueryDWORD(L"Port Remote", 9, L"\\Servers\\3"), 80u);
}

TEST_F(RegKeyTalvexTest, ListenAddressIsAllUntilOneIsStored) {
    EXPECT_EQ(L"all", m_settings.GetListenAddress());
    m_settings.SetListenAddress(L"local");
    CRegkeyBase raw(L"SOFTWARE\\Velmor\\Tapvane\\Config", HKEY_CURRENT_USER);
    EXPECT_EQ(raw.QueryString(L"Listen Address"), L"local");
    EXPECT_EQ(L"local", CRegKeyTalvex().GetListenAddress());
}

TEST_F(RegKeyTalvexTest, FirstStartSeedsTheBuiltInEntriesInTableOrder) {
    EXPECT_TRUE(m_settings.GetSaveResponse());
    EXPECT_FALSE(m_settings.GetReplaceHostHeader());
    EXPECT_EQ(m_settings.GetDefaultServerID(), 0);
    EXPECT_EQ(m_settings.GetServerURL(0), L"");
    EXPECT_EQ(m_settings.GetServerPort(0), 0u);

    m_settings.AddDefaultServers();
    EXPECT_EQ(ServerSubkeys(),
              (std::vector<std::wstring>{L"0", L"1", L"2", L"3", L"4", L"5", L"6"}));
    for (LONG n = 0; n < 7; ++n) {
        EXPECT_EQ(ServerOf(m_settings, n), kBuiltIn[static_cast<std::size_t>(n)]) << n;
    }
    // Seeding writes no other setting.
    EXPECT_TRUE(m_settings.GetSaveResponse());
    EXPECT_FALSE(m_settings.GetReplaceHostHeader());
}

TEST_F(RegKeyTalvexTest, ALaterStartResetsTheBuiltInEntriesOnly) {
    m_settings.AddDefaultServers();
    m_settings.SetServerPort(1, 8080);
    m_settings.SetServerPortRemote(1, 81);
    m_settings.SetServer(L"example.com", 8000, 80);

    CRegKeyTalvex later;
    later.AddDefaultServers();
    EXPECT_EQ(ServerOf(later, 1), (CServer{L"http://", 80, 0}));
    EXPECT_EQ(ServerOf(later, 7), (CServer{L"example.com", 8000, 80}));
    EXPECT_EQ(ServerSubkeys().size(), 8u);
}

TEST_F(RegKeyTalvexTest, AConnectionUpdatesItsEntryOrAddsOneAboveTheLargestNumber) {
    m_settings.AddDefaultServers();
    m_settings.SetServerURL(10, L"gap.example");

    m_settings.SetServer(L"new.example", 1, 2);
    EXPECT_EQ(ServerOf(m_settings, 11), (CServer{L"new.example", 1, 2}));

    m_settings.SetServer(L"gap.example", 5, 6);
    EXPECT_EQ(ServerOf(m_settings, 10), (CServer{L"gap.example", 5, 6}));
    EXPECT_EQ(ServerSubkeys().size(), 9u);

    // Letter case counts: a second entry.
    m_settings.SetServer(L"GAP.example", 7, 0);
    EXPECT_EQ(ServerOf(m_settings, 12), (CServer{L"GAP.example", 7, 0}));
    EXPECT_EQ(ServerOf(m_settings, 10), (CServer{L"gap.example", 5, 6}));
    EXPECT_EQ(ServerSubkeys().size(), 10u);
}

TEST_F(RegKeyTalvexTest, ASubkeyNameThatIsNoNumberCountsAsZero) {
    CRegkeyBase servers(kServersPath, HKEY_CURRENT_USER);
    servers.SetString(L"URL", L"named", L"\\abc");
    servers.SetString(L"URL", L"five", L"\\ 5x");
    // "abc" reads entry 0 (none), " 5x" entry 5: "named" is not found, the new entry is 6.
    m_settings.SetServer(L"named", 1, 1);
    EXPECT_EQ(ServerOf(m_settings, 6), (CServer{L"named", 1, 1}));
}

TEST_F(RegKeyTalvexTest, NoNumberBeyondTheLargestIsMade) {
    m_settings.SetServerURL(2147483647, L"last");
    try {
        m_settings.SetServer(L"one more", 1, 1);
        ADD_FAILURE() << "nothing raised";
    } catch (CException* p) {
        const std::unique_ptr<CException> e(p);
        EXPECT_EQ(
            e->GetText(),
            L"FATAL ERROR: No number is left for a new server entry below "
            L"HKEY_CURRENT_USER\\SOFTWARE\\Velmor\\Tapvane\\Config\\Servers\r\nURL: one more");
    }
    EXPECT_EQ(ServerSubkeys(), std::vector<std::wstring>{L"2147483647"});
    // The existing entry is still found and updated.
    m_settings.SetServer(L"last", 3, 4);
    EXPECT_EQ(ServerOf(m_settings, 2147483647), (CServer{L"last", 3, 4}));
}

TEST_F(RegKeyTalvexTest, LoadServersSortsWithoutCaseAndAttachesThePorts) {
    m_settings.AddDefaultServers();
    m_settings.SetServer(L"Example.org", 8080, 80);
    m_settings.SetServer(L"apache.org", 81, 0);
    m_settings.SetServer(L"HTTP://", 1, 2);  // differs from "http://" in case only
    m_settings.SetDefaultServerID(2);

    CSortedList list;
    m_settings.LoadServers(list);
    const std::vector<CServer> expected = {
        {L"apache.org", 81, 0}, {L"Example.org", 8080, 80}, {L"ftp://", 21, 0}, {L"http://", 80, 0},
        {L"HTTP://", 1, 2},     {L"https://", 443, 0},      {L"imap.", 143, 0}, {L"news.", 119, 0},
        {L"pop.", 110, 0},      {L"smtp.", 25, 0},
    };
    EXPECT_EQ(list.Servers(), expected);
    EXPECT_EQ(list.m_nSelects, 1);
    EXPECT_EQ(list.m_nSelected, 2);
}

TEST_F(RegKeyTalvexTest, AStoredPositionBeyondTheEndSelectsNothing) {
    m_settings.AddDefaultServers();
    for (const LONG nPosition : {7L, 100L, -1L}) {
        m_settings.SetDefaultServerID(nPosition);
        CSortedList list;
        m_settings.LoadServers(list);
        EXPECT_EQ(list.m_entries.size(), 7u);
        EXPECT_EQ(list.m_nSelects, 1);
        EXPECT_EQ(list.m_nSelected, -1) << nPosition;
    }
    m_settings.SetDefaultServerID(6);
    CSortedList list;
    m_settings.LoadServers(list);
    EXPECT_EQ(list.m_nSelected, 6);
}

TEST_F(RegKeyTalvexTest, LoadServersWithoutAServerListLeavesTheListAlone) {
    m_settings.SetSaveResponse(true);  // the Config key exists, its Servers key does not
    CSortedList list;
    m_settings.LoadServers(list);
    EXPECT_TRUE(list.m_entries.empty());
    EXPECT_EQ(list.m_nSelects, 0);

    // An entry without values shows as an empty text with ports 0 and 0.
    CRegkeyBase servers(kServersPath, HKEY_CURRENT_USER);
    servers.SetDWORD(L"Other", 1, L"\\0");
    m_settings.LoadServers(list);
    EXPECT_EQ(list.Servers(), (std::vector<CServer>{{L"", 0, 0}}));
    EXPECT_EQ(list.m_nSelected, 0);
}

TEST_F(RegKeyTalvexTest, RecordsAListRefusesAreNotAttached) {
    m_settings.AddDefaultServers();
    CFullList list;
    m_settings.LoadServers(list);
    EXPECT_EQ(list.m_nPortsSet, 0);
}

TEST_F(RegKeyTalvexTest, FlagsAreOnOnlyForTheValueOne) {
    CRegkeyBase raw(m_settings.GetKeyPath(), HKEY_CURRENT_USER);
    m_settings.SetSaveResponse(false);
    EXPECT_EQ(raw.QueryDWORD(L"Save Response", 9), 0u);
    EXPECT_FALSE(m_settings.GetSaveResponse());
    raw.SetDWORD(L"Save Response", 2);
    EXPECT_FALSE(m_settings.GetSaveResponse());
    m_settings.SetSaveResponse(true);
    EXPECT_EQ(raw.QueryDWORD(L"Save Response", 9), 1u);
    EXPECT_TRUE(m_settings.GetSaveResponse());

    raw.SetDWORD(L"Replace host header", 2);
    EXPECT_FALSE(m_settings.GetReplaceHostHeader());
    m_settings.SetReplaceHostHeader(true);
    EXPECT_TRUE(m_settings.GetReplaceHostHeader());
    m_settings.SetReplaceHostHeader(false);
    EXPECT_EQ(raw.QueryDWORD(L"Replace host header", 9), 0u);
}

TEST_F(RegKeyTalvexTest, NothingIsKeptBetweenReads) {
    CRegKeyTalvex other;
    EXPECT_TRUE(other.GetSaveResponse());
    m_settings.SetSaveResponse(false);
    EXPECT_FALSE(other.GetSaveResponse());
    m_settings.SetDefaultServerID(3);
    EXPECT_EQ(other.GetDefaultServerID(), 3);
    other.SetServer(L"host", 1, 2);
    EXPECT_EQ(m_settings.GetServerPortRemote(0), 2u);
}

TEST_F(RegKeyTalvexTest, TheDataFolderIsOnTheDesktopAndMadeOnEveryCall) {
    const std::string strDefault = m_registry.Home() + "/Desktop/Tapvane/";
    const std::wstring strWide(strDefault.begin(), strDefault.end());
    EXPECT_EQ(m_settings.GetDataFolder(), strWide);
    EXPECT_TRUE(std::filesystem::is_directory(strDefault));

    m_settings.SetDataFolder(L"/elsewhere/");
    std::filesystem::remove_all(m_registry.Home() + "/Desktop");
    EXPECT_EQ(m_settings.GetDataFolder(), L"/elsewhere/");
    EXPECT_TRUE(std::filesystem::is_directory(strDefault));
}

}  // namespace
