// The session list's hand-on commands on real widgets (offscreen): the comparison window
// worked out in the background with the first difference chosen and marked in text and
// hex, copying a request as curl and a session's text, the archive and the text saved,
// and the entries of the session's menu.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include "TempFolder.h"
#include "export/ExportTestSupport.h"
#include "export/SessionText.h"
#include "ui/CompareDialog.h"
#include "ui/SessionActions.h"

namespace {

constexpr auto kUp = LogDirection::ClientToServer;
constexpr auto kDown = LogDirection::ServerToClient;

template <class F>
bool Pump(F done, int nMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < nMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

QAction* FindAction(QMenu& menu, const QString& strText) {
    for (QAction* p : menu.actions()) {
        if (p->text() == strText) {
            return p;
        }
    }
    return nullptr;
}

class SessionActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Two runs of one exchange: the second answer block differs.
        m_script.Start(1);
        m_script.Start(2);
        m_script.Block(1, kUp, "GET /x?a=1 HTTP/1.1\r\nHost: example.test\r\n\r\n");
        m_script.Block(2, kUp, "GET /x?a=1 HTTP/1.1\r\nHost: example.test\r\n\r\n");
        m_script.Block(1, kDown, "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n");
        m_script.Block(2, kDown, "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n");
        m_script.Block(1, kDown, "Date: Tue 08 Dec\r\n\r\n");
        m_script.Block(2, kDown, "Date: Wed 09 Dec\r\n\r\n");
        m_script.End(1);
        m_script.End(2);
    }

    CTempFolder m_folder;
    CLogDocument m_doc{m_folder.Path()};
    test::CLogScript m_script{m_doc};
    QWidget m_window;
    CSessionActions m_actions{m_doc, &m_window};
};

TEST_F(SessionActionsTest, CompareShowsTheFirstDifferenceMarked) {
    CCompareDialog* pDialog = m_actions.compareSessions(0, 1);
    ASSERT_TRUE(Pump([&] { return !pDialog->isRunning(); }));
    EXPECT_EQ(QStringLiteral("First difference: server to client, block 2, byte 6."),
              pDialog->summary()->text());
    EXPECT_EQ(1, pDialog->tabs()->currentIndex());
    EXPECT_EQ(1, pDialog->pairList(1)->currentIndex().row());
    EXPECT_EQ(
        3, pDialog->pairList(0)->model()->rowCount() + pDialog->pairList(1)->model()->rowCount());

    // Text: one character a byte, the changed run marked.
    QPlainTextEdit* pLeft = pDialog->side(0);
    QPlainTextEdit* pRight = pDialog->side(1);
    EXPECT_EQ(QString::fromUtf8("Date: Tue 08 Dec\u00B7\n\u00B7\n"), pLeft->toPlainText());
    ASSERT_EQ(1, pLeft->extraSelections().size());
    EXPECT_EQ(QStringLiteral("Tue 08"), pLeft->extraSelections()[0].cursor.selectedText());
    ASSERT_EQ(1, pRight->extraSelections().size());
    EXPECT_EQ(QStringLiteral("Wed 09"), pRight->extraSelections()[0].cursor.selectedText());

    // Hex: the same bytes marked as hex pairs.
    pDialog->hexBox()->setChecked(true);
    EXPECT_TRUE(pLeft->toPlainText().startsWith(QStringLiteral("00000000  44 61 74 65 3a 20 54")));
    ASSERT_EQ(1, pLeft->extraSelections().size());
    EXPECT_EQ(QStringLiteral("54 75 65 20 30 38"),
              pLeft->extraSelections()[0].cursor.selectedText());

    // A pair that is alike has no marks.
    pDialog->pairList(1)->setCurrentIndex(pDialog->pairList(1)->model()->index(0, 0));
    EXPECT_TRUE(pLeft->extraSelections().isEmpty());
    pDialog->close();
}

// Large sessions: the window opens at once and stays responsive while the comparison runs;
// closing it cancels the work.
TEST_F(SessionActionsTest, LargeComparisonRunsInTheBackground) {
    const std::string block(4096, 'x');
    m_script.Start(3);
    m_script.Start(4);
    for (int i = 0; i < 20000; ++i) {
        m_script.Block(i % 2 == 0 ? 3 : 4, kDown, block);
    }
    QElapsedTimer timer;
    timer.start();
    CCompareDialog* pDialog = m_actions.compareSessions(2, 3);
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(pDialog->isRunning());
    // The event loop keeps turning meanwhile.
    int nTicks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++nTicks; });
    ticker.start(10);
    ASSERT_TRUE(Pump([&] { return !pDialog->isRunning(); }, 60000));
    EXPECT_GT(nTicks, 0);
    EXPECT_EQ(10000u, pDialog->result().nPairsTotal[1]);
    EXPECT_EQ(-1, pDialog->result().nFirstDirection);
    delete pDialog;

    CCompareDialog* pCancelled = m_actions.compareSessions(2, 3);
    delete pCancelled;  // while the worker runs: it is cancelled and joined
}

TEST_F(SessionActionsTest, CopiesRequestsAsCurlAndTheSessionAsText) {
    ASSERT_TRUE(m_actions.copyAsCurl(0));
    const QString strCurl = QApplication::clipboard()->text();
    EXPECT_TRUE(strCurl.startsWith(QStringLiteral("curl --http1.1 "))) << strCurl.toStdString();
    EXPECT_TRUE(strCurl.endsWith(QStringLiteral(" 'http://example.test/x?a=1'")))
        << strCurl.toStdString();
    EXPECT_FALSE(m_actions.copyAsCurl(0, 1));  // the session has one request only
    EXPECT_EQ(QStringList{QStringLiteral("GET /x?a=1")}, m_actions.requestLines(0, 20));

    ASSERT_TRUE(m_actions.copySessionText(1));
    EXPECT_EQ(QString::fromStdString(SessionText(m_doc, 1, "\n")),
              QApplication::clipboard()->text());
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith(QStringLiteral("2---<---\nGET /x")));

    ASSERT_EQ(0, m_actions.saveSessionTextTo(0, QString::fromStdString(m_folder.Path("s.txt"))));
    EXPECT_EQ(SessionText(m_doc, 0, "\r\n"), m_folder.ReadFile("s.txt"));
    std::uint64_t nEntries = 0;
    ASSERT_EQ(
        0, m_actions.exportHarTo(QString::fromStdString(m_folder.Path("a.har")), {1}, &nEntries));
    EXPECT_EQ(1u, nEntries);
    EXPECT_TRUE(m_folder.ReadFile("a.har").starts_with("{\"log\":{\"version\":\"1.2\""));
}

TEST_F(SessionActionsTest, TheMenuOffersCompareForTwoSessionsOnly) {
    QMenu two;
    m_actions.addToMenu(two, {0, 1});
    ASSERT_NE(nullptr, FindAction(two, QStringLiteral("Compare Sessions")));
    EXPECT_TRUE(FindAction(two, QStringLiteral("Compare Sessions"))->isEnabled());
    for (const char* psz : {"Copy Session as Text", "Save Session as Text...", "Copy as curl",
                            "HTTP Archive (HAR)..."}) {
        EXPECT_NE(nullptr, FindAction(two, QString::fromLatin1(psz))) << psz;
    }
    QMenu one;
    m_actions.addToMenu(one, {0});
    EXPECT_FALSE(FindAction(one, QStringLiteral("Compare Sessions"))->isEnabled());
    // The requests are listed when the submenu opens.
    QMenu* pCurl = FindAction(one, QStringLiteral("Copy as curl"))->menu();
    ASSERT_NE(nullptr, pCurl);
    emit pCurl->aboutToShow();
    ASSERT_EQ(1, pCurl->actions().size());
    EXPECT_EQ(QStringLiteral("GET /x?a=1"), pCurl->actions()[0]->text());
}

}  // namespace
