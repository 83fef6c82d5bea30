// The window under many connections: the sessions' question for the connection bar's
// fields is answered without the GUI thread, and a burst of sessions that start and end at
// once ends with the same list, status and log as sessions one by one.
#include <atomic>
#include <cctype>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "MainFrameFixture.h"
#include "capture/RelayFixture.h"
#include "logdoc/LogDocument.h"
#include "ui/SessionPane.h"
#include "ui/SessionTableModel.h"

namespace {

using test::PumpUntil;

class WindowConnectionsTest : public test::PlainRelayFrameFixture {
protected:
    // What a session is told, asked from a thread of its own while the event loop does not
    // run: the question must not wait for the GUI thread.
    static CConnectionQuery AskLikeASession() {
        CConnectionQuery query;
        std::thread asker([&] {
            g_Module.GetConnectionSettingsAtOnce(query.strUrl, query.nLocalPort, query.nRemotePort);
        });
        asker.join();
        return query;
    }
};

TEST_F(WindowConnectionsTest, SessionsAreToldTheFieldsAsTheyAreNowWithoutTheGuiThread) {
    OpenFrame();
    Bar().UrlBox()->setEditText(QStringLiteral("example.com"));
    SetField(Bar().LocalPortField(), QStringLiteral("8123"));
    SetField(Bar().RemotePortField(), QStringLiteral("8124"));
    CConnectionQuery query = AskLikeASession();
    EXPECT_EQ(L"example.com", query.strUrl);
    EXPECT_EQ(8123, query.nLocalPort);
    EXPECT_EQ(8124, query.nRemotePort);

    // Typed changes, and a field emptied (0, as the field reads).
    QTest::keyClicks(Bar().UrlBox()->lineEdit(), QStringLiteral(":81"));
    SetField(Bar().LocalPortField(), QString());
    query = AskLikeASession();
    EXPECT_EQ(std::wstring(L"example.com:81"), query.strUrl);
    EXPECT_EQ(0, query.nLocalPort);
    EXPECT_EQ(Bar().GetRemotePort(), query.nRemotePort);

    // A saved server chosen from the list fills the fields; the answer follows.
    if (Bar().UrlBox()->count() > 1) {
        Bar().UrlBox()->setCurrentIndex(1);
        query = AskLikeASession();
        EXPECT_EQ(Bar().GetUrl(), query.strUrl);
        EXPECT_EQ(Bar().GetLocalPort(), query.nLocalPort);
        EXPECT_EQ(Bar().GetRemotePort(), query.nRemotePort);
    }
}

TEST_F(WindowConnectionsTest, ABurstOfSessionsEndsWithTheListStatusAndLogOfSessionsOneByOne) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 10000); });
    OpenFrameWithRealLog();
    const std::uint16_t nLocal = test::FreePort();
    Bar().UrlBox()->setEditText(QStringLiteral("127.0.0.1"));
    Bar().LocalPortField()->setText(QString::number(nLocal));
    Bar().RemotePortField()->setText(QString::number(server.Port()));
    m_pFrame->OnCommand(ID_TOOLS_LISTEN, 0);
    ASSERT_TRUE(m_pFrame->IsListening());

    constexpr int kThreads = 8;
    constexpr int kPerThread = 40;
    constexpr int kTotal = kThreads * kPerThread;
    std::atomic<int> nEchoed{0};
    std::atomic<int> nFinished{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) {
                const int fd = test::ConnectPosix(nLocal);
                if (fd < 0) {
                    continue;
                }
                if (test::SendAllPosix(fd, "hello\n") &&
                    test::ReceiveExactlyPosix(fd, 6) == "hello\n") {
                    ++nEchoed;
                }
                ::close(fd);
            }
            ++nFinished;
        });
    }
    const bool bFinished = PumpUntil([&] { return nFinished == kThreads; }, 60000);
    for (std::thread& client : clients) {
        client.join();
    }
    ASSERT_TRUE(bFinished);
    EXPECT_EQ(kTotal, nEchoed.load());

    // Every session ended and was deleted, and the count says so.
    CArrayListen& registry = m_pFrame->ListenToggle().GetListener().GetRegistry();
    ASSERT_TRUE(PumpUntil(
        [&] { return registry.GetCount() == 0 && m_pFrame->StatusText(0) == "0 session(s) open"; },
        30000))
        << registry.GetCount() << " " << m_pFrame->StatusText(0).toStdString();

    // The log: a start and a stop line for each session.
    const CLogDocument& doc = *m_pFrame->LogPane().Document();
    ASSERT_TRUE(PumpUntil([&] {
        const std::string strLog = doc.ReadBytes(0, doc.GetSize());
        std::size_t nStopped = 0;
        for (std::size_t n = strLog.find(" stopped."); n != std::string::npos;
             n = strLog.find(" stopped.", n + 1)) {
            ++nStopped;
        }
        return nStopped == kTotal;
    }));
    const std::string strLog = doc.ReadBytes(0, doc.GetSize());
    std::vector<std::string> started;
    // The number of every "Session N starts." line, in the log's order.
    const std::string_view kBefore = "Session ";
    const std::string_view kAfter = " starts.";
    for (std::size_t n = strLog.find(kAfter); n != std::string::npos;
         n = strLog.find(kAfter, n + 1)) {
        std::size_t nDigits = n;
        while (nDigits > 0 && std::isdigit(static_cast<unsigned char>(strLog[nDigits - 1]))) {
            --nDigits;
        }
        if (nDigits < n && nDigits >= kBefore.size() &&
            strLog.compare(nDigits - kBefore.size(), kBefore.size(), kBefore) == 0) {
            started.push_back(strLog.substr(nDigits, n - nDigits));
        }
    }
    ASSERT_EQ(static_cast<std::size_t>(kTotal), started.size());

    // The list: one row a session, in the order the log started them, as one by one.
    CSessionTableModel& model = m_pFrame->SessionPane()->model();
    ASSERT_TRUE(PumpUntil([&] {
        model.refresh();
        return model.rowCount() == kTotal;
    }));
    for (int nRow = 0; nRow < kTotal; ++nRow) {
        ASSERT_EQ(
            started[static_cast<std::size_t>(nRow)],
            model.list().GetText(static_cast<std::size_t>(nRow), CSessionListModel::ColNumber, 0))
            << "row " << nRow;
    }
    m_pFrame->OnCommand(ID_TOOLS_LISTEN, 1);
    EXPECT_TRUE(
        PumpUntil([&] { return m_pFrame->StatusText(1) == "The listening was stopped"; }, 5000));
}

}  // namespace
