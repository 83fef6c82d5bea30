// The main window: title and modified mark, status panes, View toggles, the log view's
// menu, closing with and without listening and unsaved text, and boxes from workers.
#include <sys/socket.h>

#include <QLabel>
#include <QStatusTipEvent>

#include <thread>

#include "MainFrameFixture.h"
#include "ui/QtMessageBoxes.h"

namespace {

using test::MainFrameFixture;
using test::PumpUntil;

class MainFrameTest : public MainFrameFixture {
protected:
    // A port that nothing listens on right now.
    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        ::close(fd);
        return ntohs(addr.sin_port);
    }
    void FillFields(int nLocalPort) {
        Bar().UrlBox()->setEditText(QStringLiteral("127.0.0.1"));
        SetField(Bar().LocalPortField(), QString::number(nLocalPort));
        SetField(Bar().RemotePortField(), QStringLiteral("9"));
    }
};

TEST_F(MainFrameTest, TitleGetsItsMarkSoonAfterTextArrives) {
    OpenFrame();
    EXPECT_EQ(QStringLiteral("Untitled - Tapvane"), m_pFrame->windowTitle());
    std::thread worker([] { g_Module.AppendLog(L"\r\n0---<---", LOG_STYLE_BOLD); });
    worker.join();
    EXPECT_TRUE(PumpUntil([&] { return m_pFrame->windowTitle() == "Untitled* - Tapvane"; }, 1000));
    // Saving clears the mark at once.
    Act(ID_FILE_SAVE).trigger();
    EXPECT_EQ(QStringLiteral("Untitled - Tapvane"), m_pFrame->windowTitle());
    m_pPane->m_strTitle = QStringLiteral("capture.txt");
    g_Module.RefreshTitle();
    EXPECT_EQ(QStringLiteral("capture.txt - Tapvane"), m_pFrame->windowTitle());
}

TEST_F(MainFrameTest, StatusPanesShowPostedTextsCutAt250) {
    OpenFrame();
    EXPECT_EQ(QStringLiteral("Ready"), m_pFrame->StatusText(1));
    const std::wstring strLong(300, L'x');
    std::thread worker([&] {
        g_Module.SetStatusText(strLong, STATUS_PANE_TEXT);
        g_Module.SetStatusText(L"3 session(s) open", STATUS_PANE_SESSIONS);
    });
    worker.join();
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->StatusText(0) == "3 session(s) open"; }));
    EXPECT_EQ(QString(250, QLatin1Char('x')), m_pFrame->StatusText(1));
    // The labels follow within a moment; a command's prompt covers pane 1 while its menu
    // item is highlighted, and the pane's own text comes back afterwards.
    QLabel* pPane1 = m_pFrame->findChild<QLabel*>(QStringLiteral("statusPane1"));
    QLabel* pPane0 = m_pFrame->findChild<QLabel*>(QStringLiteral("statusPane0"));
    ASSERT_TRUE(PumpUntil([&] { return pPane1->text() == m_pFrame->StatusText(1); }, 1000));
    EXPECT_EQ(QStringLiteral("3 session(s) open"), pPane0->text());
    QStatusTipEvent tip(QStringLiteral("Clear the traffic log"));
    QApplication::sendEvent(m_pFrame.get(), &tip);
    EXPECT_EQ(QStringLiteral("Clear the traffic log"), pPane1->text());
    QStatusTipEvent noTip{QString()};
    QApplication::sendEvent(m_pFrame.get(), &noTip);
    EXPECT_EQ(m_pFrame->StatusText(1), pPane1->text());
}

TEST_F(MainFrameTest, ViewCommandsHideAndShowTheBarsWithTheirCheckMarks) {
    OpenFrame();
    EXPECT_TRUE(Act(ID_VIEW_TOOLBAR).isChecked());
    EXPECT_TRUE(Act(ID_VIEW_STATUS_BAR).isChecked());
    Act(ID_VIEW_TOOLBAR).trigger();
    EXPECT_FALSE(m_pFrame->MainToolBar()->isVisible());
    EXPECT_FALSE(Act(ID_VIEW_TOOLBAR).isChecked());
    Act(ID_VIEW_TOOLBAR).trigger();
    EXPECT_TRUE(m_pFrame->MainToolBar()->isVisible());
    EXPECT_TRUE(Act(ID_VIEW_TOOLBAR).isChecked());
    Act(ID_VIEW_STATUS_BAR).trigger();
    EXPECT_FALSE(m_pFrame->statusBar()->isVisible());
    EXPECT_FALSE(Act(ID_VIEW_STATUS_BAR).isChecked());
    Act(ID_VIEW_STATUS_BAR).trigger();
    EXPECT_TRUE(m_pFrame->statusBar()->isVisible());
    // Follow New Traffic reaches the log and is remembered.
    Act(ID_VIEW_FOLLOW).trigger();
    EXPECT_FALSE(m_pPane->m_bFollow);
    CloseForGood();
    OpenFrame();
    EXPECT_FALSE(m_pPane->m_bFollow);
    EXPECT_FALSE(Act(ID_VIEW_FOLLOW).isChecked());
}

TEST_F(MainFrameTest, MenusOpenFromTheKeyboardByTheirMnemonics) {
    OpenFrame();
    QApplication::setActiveWindow(m_pFrame.get());
    m_pPane->View()->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return m_pPane->View()->hasFocus(); }, 2000));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_T, Qt::AltModifier);
    ASSERT_TRUE(PumpUntil([] { return QApplication::activePopupWidget() != nullptr; }, 2000));
    auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(nullptr, pMenu);
    EXPECT_EQ(QStringLiteral("&Tools"), pMenu->title());
    // Down to Options... is possible from here; Escape closes the menu again.
    QTest::keyClick(pMenu, Qt::Key_Escape);
    EXPECT_TRUE(PumpUntil([] { return QApplication::activePopupWidget() == nullptr; }, 2000));
}

TEST_F(MainFrameTest, CopyIsEnabledOnlyWithASelectionInTheLog) {
    OpenFrame();
    m_pPane->m_pView->setPlainText(QStringLiteral("GET / HTTP/1.1"));
    ASSERT_TRUE(PumpUntil([&] { return !Act(ID_EDIT_COPY).isEnabled(); }, 1000));
    m_pPane->m_pView->selectAll();
    EXPECT_TRUE(PumpUntil([&] { return Act(ID_EDIT_COPY).isEnabled(); }, 1000));
}

TEST_F(MainFrameTest, TheLogsMenuOpensOnTheLogViewOnly) {
    OpenFrame();
    QMenu* pMenu = m_pFrame->findChild<QMenu*>(QStringLiteral("logMenu"));
    ASSERT_NE(nullptr, pMenu);
    // Elsewhere in the output pane: nothing.
    g_Module.ShowContextMenu(static_cast<HWND>(Bar().LocalPortField()), 10, 10);
    EXPECT_FALSE(pMenu->isVisible());
    // A right click (the menu key) on the log view: Copy, New, Select All.
    QWidget* pView = m_pPane->View();
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                            pView->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(pView, &event);
    ASSERT_TRUE(PumpUntil([&] { return pMenu->isVisible(); }, 2000));
    QStringList texts;
    for (QAction* p : pMenu->actions()) {
        if (!p->isSeparator()) {
            texts << p->text();
        }
    }
    EXPECT_EQ((QStringList{"&Copy", "&New", "Select &All"}), texts);
    pMenu->hide();
}

TEST_F(MainFrameTest, ExitClosesAtOnceWhenNothingIsUnsaved) {
    OpenFrame();
    QSignalSpy closed(m_pFrame.get(), &CMainFrame::closed);
    Act(ID_APP_EXIT).trigger();
    EXPECT_TRUE(PumpUntil([&] { return closed.count() == 1; }, 2000));
    EXPECT_TRUE(mainWindowClosing);
    EXPECT_FALSE(m_pFrame->Bridge().IsWindow());
}

TEST_F(MainFrameTest, TheWindowsSizeComesBackAtTheNextStart) {
    OpenFrame();
    m_pFrame->resize(720, 480);
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->size() == QSize(720, 480); }, 2000));
    QSignalSpy closed(m_pFrame.get(), &CMainFrame::closed);
    Act(ID_APP_EXIT).trigger();
    ASSERT_TRUE(PumpUntil([&] { return closed.count() == 1; }, 2000));
    CloseForGood();
    OpenFrame();
    EXPECT_TRUE(PumpUntil([&] { return m_pFrame->size() == QSize(720, 480); }, 2000))
        << m_pFrame->width() << "x" << m_pFrame->height();
}

TEST_F(MainFrameTest, ExitWithUnsavedTextAsksAndCancelKeepsTheWindow) {
    OpenFrame();
    QSignalSpy closed(m_pFrame.get(), &CMainFrame::closed);
    m_pPane->AppendLog(L"data", LOG_STYLE_PLAIN);
    m_pPane->m_bAnswerGoOn = false;  // the user cancels the question
    Act(ID_APP_EXIT).trigger();
    ASSERT_TRUE(PumpUntil([&] { return m_pPane->m_nPrompts == 1; }, 2000));
    EXPECT_EQ(0, closed.count());
    EXPECT_TRUE(m_pFrame->Bridge().IsWindow());
    m_pPane->m_bAnswerGoOn = true;
    Act(ID_APP_EXIT).trigger();
    EXPECT_TRUE(PumpUntil([&] { return closed.count() == 1; }, 2000));
}

TEST_F(MainFrameTest, ExitWhileListeningStopsListeningAndKeepsTheWindowWithoutSessions) {
    OpenFrame();
    FillFields(FreePort());
    QTest::mouseClick(Bar().ListenButton(), Qt::LeftButton);
    ASSERT_TRUE(m_pFrame->IsListening()) << (Boxes().empty() ? std::string() : "box");
    EXPECT_TRUE(Bar().ListenButton()->isChecked());
    EXPECT_TRUE(Act(ID_TOOLS_LISTEN).isChecked());
    EXPECT_FALSE(Bar().LocalPortField()->isEnabled());
    EXPECT_FALSE(Bar().UrlBox()->isEnabled());
    // "Start listening", followed by where it listens.
    EXPECT_TRUE(PumpUntil(
        [&] { return m_pFrame->StatusText(1).startsWith("Listening on all interfaces, port "); },
        2000))
        << m_pFrame->StatusText(1).toStdString();

    QSignalSpy closed(m_pFrame.get(), &CMainFrame::closed);
    Act(ID_APP_EXIT).trigger();
    ASSERT_TRUE(PumpUntil([&] { return !m_pFrame->IsListening(); }, 3000));
    EXPECT_TRUE(
        PumpUntil([&] { return m_pFrame->StatusText(1) == "The listening was stopped"; }, 2000));
    EXPECT_TRUE(Bar().LocalPortField()->isEnabled());
    EXPECT_FALSE(Bar().ListenButton()->isChecked());
    QTest::qWait(200);
    EXPECT_EQ(0, closed.count());  // no session was open: the window stays
    Act(ID_APP_EXIT).trigger();
    EXPECT_TRUE(PumpUntil([&] { return closed.count() == 1; }, 2000));
}

TEST_F(MainFrameTest, AFailedListenIsReportedAndLeavesTheFieldsUsable) {
    OpenFrame();
    // A port that is taken.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(fd, 1);
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    FillFields(ntohs(addr.sin_port));
    Act(ID_TOOLS_LISTEN).trigger();
    ::close(fd);
    EXPECT_FALSE(m_pFrame->IsListening());
    ASSERT_EQ(1u, Boxes().size());
    EXPECT_NE(std::wstring::npos,
              Boxes()[0].strText.find(L"ERROR: CTapvaneView::ThreadListen() failed!"));
    EXPECT_FALSE(Act(ID_TOOLS_LISTEN).isChecked());
    EXPECT_FALSE(Bar().ListenButton()->isChecked());
    EXPECT_TRUE(Bar().LocalPortField()->isEnabled());
}

TEST_F(MainFrameTest, AWorkersBoxIsShownByTheGuiThreadWhileTheWindowStaysLive) {
    OpenFrame();
    CQtMessageBoxes boxes(m_pFrame.get(), m_pFrame->Handle());  // real boxes
    std::atomic<int> nAnswer{-1};
    std::thread worker([&] {
        nAnswer = ShowMessage(L"Connect to example.org host 81 port failed!", MB_ICONERROR,
                              m_pFrame->Handle());
    });
    QMessageBox* pBox = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        pBox = m_pFrame->findChild<QMessageBox*>();
        return pBox != nullptr && pBox->isVisible();
    }));
    EXPECT_EQ(QStringLiteral("Connect to example.org host 81 port failed!"), pBox->text());
    EXPECT_EQ(QMessageBox::Critical, pBox->icon());
    // Meanwhile the window goes on: a status text posted now still arrives.
    g_Module.SetStatusText(L"still live", STATUS_PANE_TEXT);
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->StatusText(1) == "still live"; }));
    EXPECT_EQ(-1, nAnswer.load());
    QTest::mouseClick(pBox->button(QMessageBox::Ok), Qt::LeftButton);
    worker.join();
    EXPECT_EQ(IDOK, nAnswer.load());
}

TEST_F(MainFrameTest, AWorkerWaitingForABoxIsReleasedWhenTheWindowCloses) {
    OpenFrame();
    auto pBoxes = std::make_unique<CQtMessageBoxes>(m_pFrame.get(), m_pFrame->Handle());
    std::atomic<int> nAnswer{-1};
    std::thread worker([&] { nAnswer = ShowMessage(L"question", MB_YESNOCANCEL, nullptr); });
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->findChild<QMessageBox*>() != nullptr; }));
    pBoxes->CloseAll();
    worker.join();
    EXPECT_EQ(IDYES, nAnswer.load());  // the default button
}

}  // namespace
