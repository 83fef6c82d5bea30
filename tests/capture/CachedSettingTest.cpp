#include "capture/CachedSetting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "RegistryTestSupport.h"
#include "capture/ServerMemo.h"
#include "capture/TlsSettings.h"
#include "settings/RegKeyTalvex.h"

namespace {

std::atomic<int> g_nReads{0};
std::atomic<bool> g_bValue{false};

// The store is read once for many questions, again at once after a write of this process,
// and again once the value is older than the refresh interval (how another process's write
// gets in).
TEST(CachedSettingTest, ReadsAgainAfterAWriteOfThisProcessAndAfterTheInterval) {
    CTempRegistry registry;
    g_nReads = 0;
    CCachedSetting setting(
        [] {
            ++g_nReads;
            return g_bValue.load();
        },
        std::chrono::milliseconds(150));
    EXPECT_FALSE(setting.Get());
    for (int i = 0; i < 100; ++i) {
        setting.Get();
    }
    EXPECT_EQ(1, g_nReads.load());
    g_bValue = true;
    CRegKeyTalvex().SetSaveResponse(false);  // any write of this process
    EXPECT_TRUE(setting.Get());
    EXPECT_EQ(2, g_nReads.load());
    g_bValue = false;
    EXPECT_TRUE(setting.Get());  // nothing written here: the value read before
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(setting.Get());
    EXPECT_EQ(3, g_nReads.load());
}

TEST(CachedSettingTest, TheRelayFlagsFollowTheOptionsAtOnce) {
    CTempRegistry registry;
    CRegKeyTalvex settings;
    for (const bool bOn : {true, false, true}) {
        settings.SetSaveResponse(bOn);
        settings.SetReplaceHostHeader(!bOn);
        EXPECT_EQ(bOn, CachedSaveResponse());
        EXPECT_EQ(!bOn, CachedReplaceHostHeader());
    }
}

// The TLS settings are kept between sessions too; a change made in the options applies to
// the next session at once.
TEST(CachedSettingTest, TheTlsSettingsFollowTheOptionsAtOnce) {
    CTempRegistry registry;
    CRegKeyTalvex settings;
    const std::pair<DWORD, tls::ServerTlsMode> modes[] = {
        {1, tls::ServerTlsMode::On}, {2, tls::ServerTlsMode::Off}, {0, tls::ServerTlsMode::Auto}};
    for (const auto& [nStored, mode] : modes) {
        settings.SetServerTls(nStored);
        EXPECT_EQ(mode, CurrentTlsConfig().serverTls);
        EXPECT_EQ(mode, CurrentTlsConfig().serverTls);  // kept, the same
    }
    settings.SetAcceptAnyServerCert(true);
    EXPECT_TRUE(CurrentTlsConfig().bAcceptAnyServerCert);
    settings.SetAcceptAnyServerCert(false);
    EXPECT_FALSE(CurrentTlsConfig().bAcceptAnyServerCert);
    settings.SetKeyLogFile(L"/tmp/keys.log");
    EXPECT_EQ("/tmp/keys.log", CurrentTlsConfig().strKeyLogFile);
}

// A server is written once per listening run and port pair; a failed write is tried again.
TEST(ServerMemoTest, ClaimsEachServerOncePerRun) {
    CServerMemo memo;
    EXPECT_TRUE(memo.Claim(L"example.org", 8080, 80));
    EXPECT_FALSE(memo.Claim(L"example.org", 8080, 80));
    EXPECT_TRUE(memo.Claim(L"example.org", 8080, 81));  // other ports are written
    EXPECT_TRUE(memo.Claim(L"Example.org", 8080, 80));  // the text as typed counts
    memo.Unclaim(L"example.org", 8080, 80);
    EXPECT_TRUE(memo.Claim(L"example.org", 8080, 80));
    memo.Forget();
    EXPECT_TRUE(memo.Claim(L"example.org", 8080, 80));
    EXPECT_TRUE(memo.Claim(L"example.org", 8080, 81));
}

}  // namespace
