#include "capture/CachedSetting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "RegistryTestSupport.h"
#include "capture/ServerMemo.h"
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
