#include "settings/RegkeyBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "RegistryTestSupport.h"
#include "platform/WinError.h"
#include "support/Exception.h"

using namespace win;

namespace {

constexpr const wchar_t* kConfig = L"SOFTWARE\\Velmor\\Tapvane\\Config";

// The text of the CException* that `f` raises; empty (and a failure) when it raises none.
template <class F>
std::wstring RaisedText(F f) {
    try {
        f();
    } catch (CException* p) {
        const std::unique_ptr<CException> e(p);
        return e->GetText();
    }
    ADD_FAILURE() << "nothing raised";
    return {};
}

bool KeyExists(const wchar_t* pszPath) {
    HKEY h = 0;
    const LONG l = RegOpenKeyExW(HKEY_CURRENT_USER, pszPath, 0, KEY_READ, &h);
    RegCloseKey(h);
    return l == ERROR_SUCCESS;
}

void SetRaw(const wchar_t* pszPath, const wchar_t* pszName, DWORD dwType, const void* pData,
            DWORD cb) {
    HKEY h = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, pszPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &h, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(h, pszName, 0, dwType, static_cast<const BYTE*>(pData), cb),
              ERROR_SUCCESS);
    RegCloseKey(h);
}

class RegkeyBaseTest : public ::testing::Test {
protected:
    CTempRegistry m_registry;
    CRegkeyBase m_key{kConfig, HKEY_CURRENT_USER};
};

TEST(RegkeyBaseNames, KeyRootNamesFollowTheTable) {
    const std::pair<HKEY, const wchar_t*> cases[] = {
        {0x80000000u, L"HKEY_CLASSES_ROOT"},
        {0x80000001u, L"HKEY_CURRENT_USER"},
        {0x80000002u, L"HKEY_LOCAL_MACHINE"},
        {0x80000003u, L"HKEY_USERS"},
        {0x80000004u, L"HKEY_PERFORMANCE_DATA"},
        {0x80000050u, L"HKEY_PERFORMANCE_TEXT"},
        {0x80000060u, L"HKEY_PERFORMANCE_NLSTEXT"},
        {0x80000005u, L"HKEY_CURRENT_CONFIG"},
        {0x80000006u, L"HKEY_DYN_DATA"},
        {0x80000007u, L"<Unknown key root>"},
        {0, L"<Unknown key root>"},
    };
    for (const auto& [hRoot, pszName] : cases) {
        EXPECT_EQ(CRegkeyBase(L"X", hRoot).KeyRootName(), pszName) << std::hex << hRoot;
    }
}

TEST_F(RegkeyBaseTest, ReadsUnderAMissingKeyGiveTheDefaultAndCreateNothing) {
    EXPECT_EQ(m_key.QueryDWORD(L"Port", 77, L"\\Servers\\3"), 77u);
    EXPECT_EQ(m_key.QueryDWORD(L"Save Response", 1), 1u);
    bool bMissing = false;
    EXPECT_EQ(m_key.QueryString(L"URL", L"none", L"\\Servers\\3", KEY_ALL_ACCESS, &bMissing),
              L"none");
    EXPECT_FALSE(bMissing);  // a missing key leaves the flag alone
    bMissing = true;
    EXPECT_EQ(m_key.QueryString(L"URL", nullptr, nullptr, KEY_ALL_ACCESS, &bMissing), L"");
    EXPECT_TRUE(bMissing);
    EXPECT_FALSE(m_key.IsOpen());
    EXPECT_FALSE(KeyExists(L"SOFTWARE"));
}

TEST_F(RegkeyBaseTest, WritingUnderAMissingPathCreatesTheWholePathFirst) {
    m_key.SetDWORD(L"Port", 8080, L"\\Servers\\3");
    EXPECT_FALSE(m_key.IsOpen());
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Velmor\\Tapvane"));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Velmor\\Tapvane\\Config\\Servers\\3"));
    EXPECT_EQ(m_key.QueryDWORD(L"Port", 0, L"\\Servers\\3"), 8080u);
    EXPECT_EQ(m_key.QueryDWORD(L"port", 0, L"\\SERVERS\\3"), 8080u);

    m_key.SetString(L"URL", L"example.com %s %d", L"\\Servers\\4");
    bool bMissing = true;
    EXPECT_EQ(m_key.QueryString(L"URL", L"x", L"\\Servers\\4", KEY_ALL_ACCESS, &bMissing),
              L"example.com %s %d");
    EXPECT_FALSE(bMissing);
    m_key.SetString(L"URL", nullptr, L"\\Servers\\4");
    EXPECT_EQ(m_key.QueryString(L"URL", L"x", L"\\Servers\\4"), L"");
    // Reading with the rights of a reader works as well.
    EXPECT_EQ(m_key.QueryDWORD(L"Port", 0, L"\\Servers\\3", KEY_READ), 8080u);
}

TEST_F(RegkeyBaseTest, ValuesOfAnotherTypeGiveTheDefault) {
    m_key.SetDWORD(L"Number", 5);
    bool bMissing = false;
    EXPECT_EQ(m_key.QueryString(L"Number", L"dflt", nullptr, KEY_ALL_ACCESS, &bMissing), L"dflt");
    EXPECT_TRUE(bMissing);

    // A DWORD read keeps the default for anything but a whole REG_DWORD.
    m_key.SetString(L"Text", L"");
    EXPECT_EQ(m_key.QueryDWORD(L"Text", 9), 9u);
    const WORD wShort = 0x0102;
    SetRaw(kConfig, L"Short", REG_BINARY, &wShort, sizeof wShort);
    EXPECT_EQ(m_key.QueryDWORD(L"Short", 0xAABBCCDD), 0xAABBCCDDu);
    const DWORD dwBinary = 3;
    SetRaw(kConfig, L"Binary", REG_BINARY, &dwBinary, sizeof dwBinary);
    EXPECT_EQ(m_key.QueryDWORD(L"Binary", 9), 9u);

    // Expandable text reads as text; text stored without its zero still ends right.
    const std::wstring strExpand = L"$HOME/x";
    SetRaw(kConfig, L"Expand", REG_EXPAND_SZ, strExpand.c_str(),
           static_cast<DWORD>((strExpand.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(m_key.QueryString(L"Expand"), strExpand);
    const std::wstring strBare = L"abc";
    SetRaw(kConfig, L"Bare", REG_SZ, strBare.data(),
           static_cast<DWORD>(strBare.size() * sizeof(wchar_t)));
    EXPECT_EQ(m_key.QueryString(L"Bare"), L"abc");
    EXPECT_FALSE(m_key.IsOpen());
}

TEST_F(RegkeyBaseTest, ARefusedWriteRaisesTheFullFatalErrorText) {
    m_key.SetDWORD(L"Save Response", 1);

    // The store cannot be written: the key does not open for writing, nor can it be made.
    RegResetStoreConnections(true);
    EXPECT_EQ(RaisedText([&] { m_key.SetDWORD(L"Save Response", 0); }),
              L"FATAL ERROR: Create key in the system registry failed!\r\nKey Name: "
              L"HKEY_CURRENT_USER\\SOFTWARE\\Velmor\\Tapvane\\Config\r\n\r\n5 Access is "
              L"denied.\r\n");
    EXPECT_FALSE(m_key.IsOpen());
    // Reading asks for all rights, which such a store does not give.
    EXPECT_EQ(RaisedText([&] { m_key.QueryDWORD(L"Save Response", 7); }),
              L"CRegkeyBase::Open(HKEY hKeyParent, LPCTSTR lpszKeyName: "
              L"\"SOFTWARE\\Velmor\\Tapvane\\Config\", REGSAM samDesired) failed! res = 5 "
              L"Access is denied.\r\n");
    EXPECT_FALSE(m_key.IsOpen());
    EXPECT_EQ(m_key.QueryDWORD(L"Save Response", 7, nullptr, KEY_READ), 1u);

    // The next operation of the same object starts closed and works.
    RegResetStoreConnections(false);
    m_key.SetDWORD(L"Save Response", 0);
    EXPECT_EQ(m_key.QueryDWORD(L"Save Response", 7), 0u);
}

// A key class whose store stops taking writes between the opening of the key and the write.
class CLosingWriteAccess : public CRegkeyBase {
public:
    using CRegkeyBase::CRegkeyBase;
    bool PermissionsGranted() override {
        RegResetStoreConnections(true);
        return true;
    }
};

TEST_F(RegkeyBaseTest, AWriteRefusedByTheStoreNamesTheValue) {
    m_key.SetDWORD(L"Save Response", 1);
    m_key.SetDWORD(L"Other", 1, L"\\Sub");
    CLosingWriteAccess key(kConfig, HKEY_CURRENT_USER);
    EXPECT_EQ(RaisedText([&] { key.SetDWORD(L"Save Response", 0); }),
              L"FATAL ERROR: Set DWORD value to system registry failed!\r\nKey Name: "
              L"HKEY_CURRENT_USER\\SOFTWARE\\Velmor\\Tapvane\\Config\r\nValue Name: Save "
              L"Response\r\n\r\n5 Access is denied.\r\n");
    EXPECT_FALSE(key.IsOpen());
    RegResetStoreConnections(false);
    EXPECT_EQ(RaisedText([&] { key.SetString(L"Applacation Data Folder", L"/x/", L"\\Sub"); }),
              L"FATAL ERROR: Set string to system registry failed!\r\nKey Name: "
              L"HKEY_CURRENT_USER\\SOFTWARE\\Velmor\\Tapvane\\Config\\Sub\r\nValue Name: "
              L"Applacation Data Folder\r\n\r\n5 Access is denied.\r\n");
    EXPECT_FALSE(key.IsOpen());
    RegResetStoreConnections(false);
    EXPECT_EQ(m_key.QueryDWORD(L"Save Response", 7), 1u);
}

TEST_F(RegkeyBaseTest, AnUnknownRootIsNamedSoInTheMessage) {
    CRegkeyBase key(L"SOFTWARE\\X", 0x80000007u);
    EXPECT_EQ(RaisedText([&] { key.SetDWORD(L"V", 1); }),
              L"FATAL ERROR: Create key in the system registry failed!\r\nKey Name: <Unknown key "
              L"root>\\SOFTWARE\\X\r\n\r\n6 The handle is invalid.\r\n");
}

// Counts the questions of the permission hooks; can give a descriptor for new keys and
// carries one access entry.
class CHookedKey : public CRegkeyBase {
public:
    explicit CHookedKey(const wchar_t* pszDescriptor = nullptr)
        : CRegkeyBase(kConfig, HKEY_CURRENT_USER), m_pszDescriptor(pszDescriptor) {
        m_pEntries = new CAclEntry{nullptr, nullptr, L"user", L"domain", KEY_ALL_ACCESS};
    }
    const wchar_t* GetStringSecurityDescriptor() const override {
        ++m_nDescriptorAsked;
        return m_pszDescriptor;
    }
    bool PermissionsGranted() override {
        ++m_nGrantAsked;
        return true;
    }
    const wchar_t* m_pszDescriptor;
    mutable int m_nDescriptorAsked = 0;
    int m_nGrantAsked = 0;
};

TEST_F(RegkeyBaseTest, ThePermissionHooksAreAskedBeforeEachWrite) {
    CHookedKey key;
    key.SetDWORD(L"V", 1);  // the key is new
    EXPECT_EQ(key.m_nDescriptorAsked, 1);
    EXPECT_EQ(key.m_nGrantAsked, 0);
    EXPECT_EQ(key.GetEntries(), nullptr);  // creating a key clears the list

    CHookedKey existing;
    existing.SetDWORD(L"V", 2);
    EXPECT_EQ(existing.m_nDescriptorAsked, 1);
    EXPECT_EQ(existing.m_nGrantAsked, 1);
    ASSERT_NE(existing.GetEntries(), nullptr);
    EXPECT_EQ(existing.GetEntries()->strAccount, L"user");
    EXPECT_EQ(m_key.QueryDWORD(L"V", 0), 2u);

    // A descriptor cannot be given to a new key here: refused rather than ignored.
    CHookedKey withDescriptor(L"D:P(A;;KA;;;WD)");
    EXPECT_EQ(RaisedText([&] { withDescriptor.SetDWORD(L"V", 3, L"\\New"); }),
              L"FATAL ERROR: Create key in the system registry failed!\r\nKey Name: "
              L"HKEY_CURRENT_USER\\SOFTWARE\\Velmor\\Tapvane\\Config\\New\r\n\r\n50 The request "
              L"is not supported.\r\n");
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Velmor\\Tapvane\\Config\\New"));
    withDescriptor.SetDWORD(L"V", 3);  // an existing key needs none
    EXPECT_EQ(m_key.QueryDWORD(L"V", 0), 3u);
}

TEST_F(RegkeyBaseTest, OpenHoldsOneHandleForTheEnumeration) {
    m_key.SetDWORD(L"Port", 1, L"\\Servers\\1");
    m_key.SetDWORD(L"Port", 0, L"\\Servers\\0");
    CRegkeyBase servers(std::wstring(kConfig) + L"\\Servers", HKEY_CURRENT_USER);
    wchar_t sz[256];
    DWORD cch = 256;
    EXPECT_EQ(servers.EnumKey(0, sz, &cch), ERROR_INVALID_HANDLE);  // nothing open

    EXPECT_EQ(servers.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Nothing", KEY_ALL_ACCESS),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(servers.IsOpen());
    ASSERT_EQ(servers.Open(HKEY_CURRENT_USER, kConfig, KEY_ALL_ACCESS), ERROR_SUCCESS);
    const HKEY hFirst = servers.m_hKey;
    ASSERT_EQ(servers.Open(HKEY_CURRENT_USER, servers.GetBaseKey().c_str(), KEY_ALL_ACCESS),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(hFirst), ERROR_INVALID_HANDLE);  // closed by the second Open

    EXPECT_EQ(servers.EnumKey(0, sz, &cch), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(sz), L"0");
    cch = 1;
    EXPECT_EQ(servers.EnumKey(1, sz, &cch), ERROR_MORE_DATA);
    cch = 256;
    EXPECT_EQ(servers.EnumKey(1, sz, &cch), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(sz), L"1");
    EXPECT_EQ(servers.EnumKey(2, sz, &cch), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(servers.IsOpen());
    servers.Close();
    EXPECT_FALSE(servers.IsOpen());
}

TEST_F(RegkeyBaseTest, AStringGrowingWhileItIsReadIsReadWhole) {
    const std::wstring strShort = L"s";
    const std::wstring strLong(2000, L'L');
    m_key.SetString(L"Folder", strShort.c_str());
    std::atomic<bool> bStop{false};
    std::thread writer([&] {
        CRegkeyBase key(kConfig, HKEY_CURRENT_USER);
        for (int i = 0; !bStop.load(); ++i) {
            key.SetString(L"Folder", (i % 2 == 0 ? strLong : strShort).c_str());
        }
    });
    int nBad = 0;
    int nRaised = 0;
    for (int i = 0; i < 300; ++i) {
        try {
            const std::wstring s = m_key.QueryString(L"Folder");
            if (s != strShort && s != strLong) {
                ++nBad;
            }
        } catch (CException* p) {
            delete p;
            ++nRaised;
        }
    }
    bStop = true;
    writer.join();
    EXPECT_EQ(nBad, 0);
    EXPECT_EQ(nRaised, 0);
}

}  // namespace
