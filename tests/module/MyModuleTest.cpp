// The module's operations as messages to a main window that records them.
#include "module/MyModule.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

struct CMessageRecord {
    UINT nMsg;
    bool bSent;
    LPARAM lParam;
    std::wstring strText;
};

class CRecordingWindow : public IMainWindow {
public:
    LRESULT SendMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override {
        std::wstring strText;
        if (nMsg == UM_APPEND_LOG) {
            strText = reinterpret_cast<const CLogText*>(wParam)->text;
        } else if (nMsg == UM_GET_URL) {
            *reinterpret_cast<std::wstring*>(wParam) = L"example.com";
        } else if (nMsg == UM_GET_LOCAL_PORT || nMsg == UM_GET_REMOTE_PORT) {
            *reinterpret_cast<int*>(wParam) = nMsg == UM_GET_LOCAL_PORT ? 8080 : 80;
        } else if (nMsg == UM_GET_CONNECTION && m_bAnswersAtOnce) {
            *reinterpret_cast<CConnectionQuery*>(wParam) = {L"at.once", 81, 82};
            Record({nMsg, true, lParam, strText});
            return 1;
        }
        Record({nMsg, true, lParam, strText});
        return 0;
    }
    bool PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override {
        std::wstring strText;
        if (nMsg == UM_SET_STATUS_TEXT) {
            std::unique_ptr<StatusRecord> p(reinterpret_cast<StatusRecord*>(wParam));
            strText = p->strText;
        }
        Record({nMsg, false, lParam, strText});
        return m_bAlive;
    }
    bool IsWindow() const override { return m_bAlive; }

    std::vector<CMessageRecord> Messages() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    bool m_bAlive = true;
    bool m_bAnswersAtOnce = false;

private:
    void Record(CMessageRecord r) {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(std::move(r));
    }
    std::mutex m_mutex;
    std::vector<CMessageRecord> m_messages;
};

class MyModuleTest : public ::testing::Test {
protected:
    void SetUp() override { mainWindowClosing = false; }
    void TearDown() override {
        g_Module.SetMainWindow(nullptr);
        mainWindowClosing = false;
    }
    CRecordingWindow m_window;
};

TEST_F(MyModuleTest, NothingReachesAWindowThatIsNotThereOrClosing) {
    g_Module.EnableCommand(ID_TOOLS_LISTEN, false);
    g_Module.SetStatusText(L"early", 1);  // only traced
    g_Module.SetMainWindow(&m_window);
    mainWindowClosing = true;
    testing::internal::CaptureStdout();
    g_Module.SetStatusText(L"late", 1);
    const std::string strTrace = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, strTrace.find("Status: \"late\", Part = 1"));
    EXPECT_TRUE(m_window.Messages().empty());
}

TEST_F(MyModuleTest, OperationsBecomeTheirMessages) {
    g_Module.SetMainWindow(&m_window);
    g_Module.SetStatusText(std::wstring(300, L's'), 0);
    g_Module.AppendLog(L"\r\n0---<---", LOG_STYLE_BOLD);
    g_Module.AppendLogNarrow("caf\xc3\xa9 \x80");
    std::wstring strUrl;
    g_Module.GetConnectionSettings(strUrl, nullptr, nullptr);
    int nLocal = 0;
    int nRemote = 0;
    g_Module.GetConnectionSettings(strUrl, &nLocal, &nRemote);
    g_Module.ToggleListening(true);
    g_Module.ToggleListening(false);
    g_Module.EnableCommand(ID_TOOLS_LISTEN, true);
    g_Module.CloseMainWindow();

    const std::vector<CMessageRecord> m = m_window.Messages();
    ASSERT_EQ(11u, m.size());
    EXPECT_EQ(UM_SET_STATUS_TEXT, m[0].nMsg);
    EXPECT_FALSE(m[0].bSent);
    EXPECT_EQ(300u, m[0].strText.size());  // the window shows 250 of them
    EXPECT_EQ(UM_APPEND_LOG, m[1].nMsg);
    EXPECT_TRUE(m[1].bSent);
    EXPECT_EQ(LOG_STYLE_BOLD, m[1].lParam);
    EXPECT_EQ(L"caf\u00e9 \u20ac", m[2].strText);
    EXPECT_EQ(LOG_STYLE_KEEP, m[2].lParam);
    // Without port targets only the URL is asked for.
    EXPECT_EQ(UM_GET_URL, m[3].nMsg);
    EXPECT_EQ(UM_GET_URL, m[4].nMsg);
    EXPECT_EQ(UM_GET_LOCAL_PORT, m[5].nMsg);
    EXPECT_EQ(UM_GET_REMOTE_PORT, m[6].nMsg);
    EXPECT_EQ(L"example.com", strUrl);
    EXPECT_EQ(8080, nLocal);
    EXPECT_EQ(80, nRemote);
    EXPECT_EQ(WM_COMMAND, m[7].nMsg);
    EXPECT_EQ(0, m[7].lParam);  // true travels as lParam 0
    EXPECT_EQ(1, m[8].lParam);
    EXPECT_EQ(ToolBarCtrlEnableMessage(), m[9].nMsg);
    EXPECT_TRUE(m[9].bSent);
    EXPECT_EQ(WM_CLOSE, m[10].nMsg);
    EXPECT_FALSE(m[10].bSent);
    EXPECT_GE(ToolBarCtrlEnableMessage(), 0xC000u);
    EXPECT_EQ(ToolBarCtrlEnableMessage(), RegisterWindowMessageW(L"mytoolbarctrlenable"));
}

// The GUI thread must never wait for the module lock, whose holders wait for it: the
// first try fails loudly instead of deadlocking some day.
TEST(MyModuleDeathTest, GuiThreadTakingTheModuleLockAbortsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            g_Module.SetGuiThread(std::this_thread::get_id());
            g_Module.Lock();
        },
        "FATAL: the GUI thread took the module lock");
}

TEST_F(MyModuleTest, OtherThreadsTakeTheLockWhileAGuiThreadIsSet) {
    std::thread gui([] {
        g_Module.SetGuiThread(std::this_thread::get_id());
        EXPECT_TRUE(g_Module.IsGuiThread());
    });
    gui.join();
    EXPECT_FALSE(g_Module.IsGuiThread());
    {
        CModuleLock lock;   // this thread is not the GUI thread
        CModuleLock again;  // and the lock is re-entrant
    }
    g_Module.SetGuiThread(std::thread::id());
    EXPECT_FALSE(g_Module.IsGuiThread());
}

TEST_F(MyModuleTest, StopListeningPostsTheStopOnlyCommand) {
    g_Module.SetMainWindow(&m_window);
    g_Module.StopListening();
    const auto m = m_window.Messages();
    ASSERT_EQ(1u, m.size());
    EXPECT_EQ(WM_COMMAND, m[0].nMsg);
    EXPECT_FALSE(m[0].bSent);
    EXPECT_EQ(LISTEN_STOP_ONLY, m[0].lParam);
}

}  // namespace

namespace {

// A session asks for the URL and both ports in one trip to the GUI thread; a window that
// does not know that message is asked the three questions.
TEST_F(MyModuleTest, ConnectionSettingsAtOnceTakeOneMessageOrFallBackToThree) {
    g_Module.SetMainWindow(&m_window);
    std::wstring strUrl;
    int nLocal = 0;
    int nRemote = 0;
    g_Module.GetConnectionSettingsAtOnce(strUrl, nLocal, nRemote);
    std::vector<CMessageRecord> m = m_window.Messages();
    ASSERT_EQ(4u, m.size());
    EXPECT_EQ(UM_GET_CONNECTION, m[0].nMsg);
    EXPECT_EQ(UM_GET_URL, m[1].nMsg);
    EXPECT_EQ(UM_GET_LOCAL_PORT, m[2].nMsg);
    EXPECT_EQ(UM_GET_REMOTE_PORT, m[3].nMsg);
    EXPECT_EQ(L"example.com", strUrl);
    EXPECT_EQ(8080, nLocal);
    EXPECT_EQ(80, nRemote);

    CRecordingWindow atOnce;
    atOnce.m_bAnswersAtOnce = true;
    g_Module.SetMainWindow(&atOnce);
    g_Module.GetConnectionSettingsAtOnce(strUrl, nLocal, nRemote);
    m = atOnce.Messages();
    ASSERT_EQ(1u, m.size());
    EXPECT_EQ(UM_GET_CONNECTION, m[0].nMsg);
    EXPECT_EQ(L"at.once", strUrl);
    EXPECT_EQ(81, nLocal);
    EXPECT_EQ(82, nRemote);
}

}  // namespace
