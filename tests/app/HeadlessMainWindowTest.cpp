#include "app/HeadlessMainWindow.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "module/Messages.h"

namespace {

class CNullLog : public ILogSink {
public:
    void AppendLog(std::wstring_view, int) override {}
};

// A session asks for the connection bar's fields once per connection: the headless window
// answers on the asking thread, also while its GUI thread is busy with something else, and
// still sends every other query to the GUI thread.
TEST(HeadlessMainWindowTest, AnswersTheConnectionQueryWithoutTheGuiThread) {
    CNullLog log;
    CHeadlessMainWindow window(log);
    window.SetConnectionSettings(L"example.org", 8080, 80);
    // No GUI thread runs yet: a query that waited for it would not return.
    auto answer = std::async(std::launch::async, [&window] {
        CConnectionQuery query;
        const LRESULT lResult =
            window.SendMessage(UM_GET_CONNECTION, reinterpret_cast<WPARAM>(&query), 0);
        return std::make_pair(lResult, query);
    });
    ASSERT_EQ(std::future_status::ready, answer.wait_for(std::chrono::seconds(5)));
    const auto [lResult, query] = answer.get();
    EXPECT_EQ(1, lResult);
    EXPECT_EQ(L"example.org", query.strUrl);
    EXPECT_EQ(8080, query.nLocalPort);
    EXPECT_EQ(80, query.nRemotePort);

    // The URL alone still goes through the GUI thread: it waits until one runs.
    std::wstring strUrl;
    auto url = std::async(std::launch::async, [&window, &strUrl] {
        window.SendMessage(UM_GET_URL, reinterpret_cast<WPARAM>(&strUrl), 0);
    });
    EXPECT_EQ(std::future_status::timeout, url.wait_for(std::chrono::milliseconds(100)));
    std::thread gui([&window] { window.Run(); });
    EXPECT_EQ(std::future_status::ready, url.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(L"example.org", strUrl);
    window.Quit(0);
    gui.join();
}

// The CLI's control thread may finish (a replay whose server refuses) before the main
// thread enters Run: that Quit still ends the run, and the next run waits for its own.
TEST(HeadlessMainWindowTest, AQuitBeforeRunEndsTheRunAndOnlyThatOne) {
    CNullLog log;
    CHeadlessMainWindow window(log);
    window.Quit(4);
    auto first = std::async(std::launch::async, [&window] { return window.Run(); });
    const bool bEnded = first.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!bEnded) {
        window.Quit(4);  // lets the test end and report instead of hanging
    }
    EXPECT_TRUE(bEnded);
    EXPECT_EQ(4, first.get());
    auto second = std::async(std::launch::async, [&window] { return window.Run(); });
    EXPECT_EQ(std::future_status::timeout, second.wait_for(std::chrono::milliseconds(100)));
    window.Quit(0);
    ASSERT_EQ(std::future_status::ready, second.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(0, second.get());
}

}  // namespace

namespace {

void PostStatus(CHeadlessMainWindow& window, const wchar_t* pszText) {
    auto* pRecord = new StatusRecord{pszText, 0};
    ASSERT_TRUE(window.PostMessage(UM_SET_STATUS_TEXT, reinterpret_cast<WPARAM>(pRecord), 0));
}

}  // namespace

// The command line prints the status texts: those handled in one batch reach the output in
// one piece, in the order posted, each on a line; every text is still seen one by one.
TEST(HeadlessMainWindowTest, StatusTextsOfOneBatchComeAsOnePieceOfLines) {
    CNullLog log;
    CHeadlessMainWindow window(log);
    std::vector<std::string> pieces;
    std::vector<std::wstring> texts;
    window.SetStatusLinesObserver([&pieces](const std::string& s) { pieces.push_back(s); });
    window.SetStatusObserver([&texts](int, const std::wstring& s) { texts.push_back(s); });
    PostStatus(window, L"1 session(s) open");
    PostStatus(window, L"Session 0 starts.");
    PostStatus(window, L"Session 0 stopped.");
    window.Quit(0);
    window.Run();  // everything queued before Run is one batch
    ASSERT_EQ(1u, pieces.size());
    EXPECT_EQ("1 session(s) open\nSession 0 starts.\nSession 0 stopped.\n", pieces[0]);
    EXPECT_EQ(3u, texts.size());

    // What a command prints follows the texts before it: those are given first.
    pieces.clear();
    PostStatus(window, L"a");
    ASSERT_TRUE(window.PostMessage(WM_COMMAND, 0, 0));  // a command of no effect here
    PostStatus(window, L"b");
    window.Quit(0);
    window.Run();
    EXPECT_EQ((std::vector<std::string>{"a\n", "b\n"}), pieces);
}
