// The log's document state and file commands with a recording message box and a scripted
// save dialog.
#include "ui/LogFileCommands.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "RegistryTestSupport.h"
#include "TempFolder.h"
#include "UiTestSupport.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "module/MyModule.h"
#include "support/Exception.h"

namespace {

class LogFileCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_commands.setSaveDialog([this](QWidget*, const QString& strCaption, const QString& strPath,
                                        const QString& strFilter) {
            m_dialogs.push_back({strCaption, strPath, strFilter});
            if (m_pendingAnswers.empty()) {
                return QString();
            }
            const QString strAnswer = m_pendingAnswers.front();
            m_pendingAnswers.erase(m_pendingAnswers.begin());
            return strAnswer;
        });
        m_commands.attachRecentMenu(&m_menu);
    }

    QString PathOf(const std::string& strName) const {
        return QString::fromStdString(m_dir.Path(strName));
    }

    QStringList MenuTexts() const {
        QStringList texts;
        for (const QAction* pAction : m_menu.actions()) {
            texts << pAction->text() + (pAction->isEnabled() ? "" : " [grey]");
        }
        return texts;
    }

    struct CDialog {
        QString strCaption;
        QString strPath;
        QString strFilter;
    };

    CTempRegistry m_registry;
    CTempFolder m_dir;
    CFakeMessageBox m_box{IDYES};
    CLogDocument m_doc{m_dir.Path()};
    CLogFileCommands m_commands{m_doc, nullptr};
    QMenu m_menu;
    std::vector<CDialog> m_dialogs;
    std::vector<QString> m_pendingAnswers;
};

TEST_F(LogFileCommandsTest, StartsUntitledWithAnEmptyRecentMenu) {
    EXPECT_EQ(m_commands.title(), QStringLiteral("Untitled"));
    EXPECT_TRUE(m_commands.isUntitled());
    EXPECT_TRUE(m_commands.path().isEmpty());
    EXPECT_EQ(MenuTexts(), QStringList{"(empty) [grey]"});
    EXPECT_EQ(m_menu.title(), QStringLiteral("Recent &Files"));
}

TEST_F(LogFileCommandsTest, NewOnAnUnmodifiedLogAsksNothing) {
    m_doc.AppendLog(L"x", LOG_STYLE_PLAIN);
    m_doc.SetModified(false);
    EXPECT_TRUE(m_commands.newLog());
    EXPECT_TRUE(m_box.Boxes().empty());
    EXPECT_EQ(m_doc.GetSize(), 0u);
}

TEST_F(LogFileCommandsTest, NewOnAModifiedLogCancelKeepsEverything) {
    m_doc.AppendLog(L"keep me", LOG_STYLE_PLAIN);
    m_box.SetAnswer(IDCANCEL);
    EXPECT_FALSE(m_commands.newLog());
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].strText, L"Save changes to Untitled ?");
    EXPECT_EQ(m_box.Boxes()[0].nType, 0x33u);
    EXPECT_TRUE(m_dialogs.empty());
    EXPECT_EQ(m_doc.GetSize(), 7u);
    EXPECT_TRUE(m_commands.isModified());
}

TEST_F(LogFileCommandsTest, NewYesOnAnUntitledLogOpensSaveAsAndItsCancelKeepsTheLog) {
    m_doc.AppendLog(L"keep me", LOG_STYLE_PLAIN);
    EXPECT_FALSE(m_commands.newLog());
    ASSERT_EQ(m_dialogs.size(), 1u);
    EXPECT_EQ(m_dialogs[0].strCaption, QStringLiteral("Save the tapvane's log file as"));
    EXPECT_EQ(m_dialogs[0].strFilter, QStringLiteral("Text Files (*.txt);;All Files (*.*)"));
    EXPECT_EQ(m_doc.GetSize(), 7u);
    // Yes and a file name: saved, then cleared.
    m_pendingAnswers.push_back(PathOf("first.txt"));
    QSignalSpy spy(&m_commands, &CLogFileCommands::titleChanged);
    EXPECT_TRUE(m_commands.newLog());
    EXPECT_EQ(m_dir.ReadFile("first.txt"), "keep me");
    EXPECT_EQ(m_doc.GetSize(), 0u);
    EXPECT_EQ(m_commands.title(), QStringLiteral("Untitled"));
    EXPECT_TRUE(m_commands.isUntitled());
    EXPECT_FALSE(m_commands.isModified());
    EXPECT_GE(spy.count(), 1);
    EXPECT_EQ(MenuTexts(), QStringList{"&1 " + PathOf("first.txt")});
}

TEST_F(LogFileCommandsTest, NewAnsweredNoClearsWithoutSaving) {
    m_doc.AppendLog(L"gone", LOG_STYLE_PLAIN);
    m_box.SetAnswer(IDNO);
    EXPECT_TRUE(m_commands.newLog());
    EXPECT_TRUE(m_dialogs.empty());
    EXPECT_EQ(m_doc.GetSize(), 0u);
}

TEST_F(LogFileCommandsTest, SaveAsksForANameOnceThenWritesSilently) {
    m_doc.AppendLog(L"Session 1 starts.\r\n", LOG_STYLE_BOLD);
    m_pendingAnswers.push_back(PathOf("log.txt"));
    EXPECT_TRUE(m_commands.save());
    EXPECT_EQ(m_dialogs.size(), 1u);
    EXPECT_EQ(m_commands.title(), QStringLiteral("log.txt"));
    EXPECT_EQ(m_commands.path(), PathOf("log.txt"));
    EXPECT_FALSE(m_commands.isUntitled());
    EXPECT_FALSE(m_commands.isModified());
    m_doc.AppendLog(L"more", LOG_STYLE_PLAIN);
    EXPECT_TRUE(m_commands.save());
    EXPECT_EQ(m_dialogs.size(), 1u);
    EXPECT_EQ(m_dir.ReadFile("log.txt"), "Session 1 starts.\r\nmore");
    // Save As starts the dialog at the document's path.
    EXPECT_FALSE(m_commands.saveAs());
    EXPECT_EQ(m_dialogs.back().strPath, PathOf("log.txt"));
}

TEST_F(LogFileCommandsTest, TitleChangesWhenTextArrives) {
    QSignalSpy spy(&m_commands, &CLogFileCommands::titleChanged);
    m_doc.AppendLog(L"traffic", LOG_STYLE_PLAIN);
    EXPECT_TRUE(spy.wait(1000));
    EXPECT_TRUE(m_commands.isModified());
}

TEST_F(LogFileCommandsTest, FailedCreateShowsTheErrorAndKeepsTheState) {
    m_doc.AppendLog(L"x", LOG_STYLE_PLAIN);
    m_pendingAnswers.push_back(PathOf("missing/log.txt"));
    EXPECT_FALSE(m_commands.saveAs());
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    const std::wstring strText = m_box.Boxes()[0].strText;
    EXPECT_EQ(strText.rfind(
                  L"Create \"" + PathOf("missing/log.txt").toStdWString() + L"\" file failed! ", 0),
              0u)
        << QString::fromStdWString(strText).toStdString();
    EXPECT_GT(strText.size(), 30u + static_cast<std::size_t>(PathOf("missing/log.txt").size()));
    EXPECT_EQ(m_box.Boxes()[0].nType, MB_ICONERROR);
    EXPECT_TRUE(m_commands.isUntitled());
    EXPECT_EQ(MenuTexts(), QStringList{"(empty) [grey]"});
}

TEST_F(LogFileCommandsTest, FiveSavesLeaveFourRecentEntries) {
    m_doc.AppendLog(L"x", LOG_STYLE_PLAIN);
    for (int i = 1; i <= 5; ++i) {
        m_pendingAnswers.push_back(PathOf("log" + std::to_string(i) + ".txt"));
        ASSERT_TRUE(m_commands.saveAs());
    }
    EXPECT_EQ(MenuTexts(), (QStringList{"&1 " + PathOf("log5.txt"), "&2 " + PathOf("log4.txt"),
                                        "&3 " + PathOf("log3.txt"), "&4 " + PathOf("log2.txt")}));
    CRecentFileList stored;
    stored.ReadFromRegistry();
    EXPECT_EQ(stored.GetCount(), 4);
}

TEST_F(LogFileCommandsTest, OpenRecentLoadsAndADeletedFileLeavesTheMenu) {
    m_doc.AppendLog(L"one\r\n", LOG_STYLE_BOLD);
    m_pendingAnswers.push_back(PathOf("a.txt"));
    ASSERT_TRUE(m_commands.saveAs());
    m_doc.AppendLog(L"two", LOG_STYLE_PLAIN);
    m_pendingAnswers.push_back(PathOf("b.txt"));
    ASSERT_TRUE(m_commands.saveAs());

    EXPECT_TRUE(m_commands.openRecent(1));  // a.txt; the log was saved: no question
    EXPECT_TRUE(m_box.Boxes().empty());
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "one\r\n");
    EXPECT_EQ(m_commands.title(), QStringLiteral("a.txt"));
    EXPECT_FALSE(m_commands.isModified());
    EXPECT_EQ(MenuTexts().front(), "&1 " + PathOf("a.txt"));

    std::remove(m_dir.Path("b.txt").c_str());
    EXPECT_FALSE(m_commands.openRecent(1));
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].strText.rfind(
                  L"Load \"" + PathOf("b.txt").toStdWString() + L"\" file failed! ", 0),
              0u);
    EXPECT_EQ(m_box.Boxes()[0].nType, MB_ICONERROR);
    EXPECT_EQ(MenuTexts(), QStringList{"&1 " + PathOf("a.txt")});
    EXPECT_EQ(m_commands.title(), QStringLiteral("a.txt"));
}

TEST_F(LogFileCommandsTest, OpenRecentWhileListeningStopsAndAsksForSaveAs) {
    CRecordingMainWindow window;
    g_Module.SetMainWindow(&window);
    m_doc.AppendLog(L"saved", LOG_STYLE_PLAIN);
    m_pendingAnswers.push_back(PathOf("a.txt"));
    ASSERT_TRUE(m_commands.saveAs());
    m_doc.AppendLog(L" and new", LOG_STYLE_PLAIN);
    m_commands.setListeningQuery([] { return true; });
    EXPECT_FALSE(m_commands.openRecent(0));  // Save As cancelled
    g_Module.SetMainWindow(nullptr);
    ASSERT_EQ(window.Posted().size(), 1u);
    EXPECT_EQ(window.Posted()[0].nMsg, WM_COMMAND);
    EXPECT_EQ(window.Posted()[0].wParam, ID_TOOLS_LISTEN);
    // Stop only: the window must not close when the last session ends afterwards.
    EXPECT_EQ(window.Posted()[0].lParam, LISTEN_STOP_ONLY);
    EXPECT_EQ(m_dialogs.size(), 2u);
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "saved and new");
}

TEST_F(LogFileCommandsTest, OpenRecentWhileListeningWithAnEmptyUntitledLogAsksNothing) {
    m_doc.AppendLog(L"kept", LOG_STYLE_PLAIN);
    m_pendingAnswers.push_back(PathOf("a.txt"));
    ASSERT_TRUE(m_commands.saveAs());
    // A new, empty log while listening: loading another file has nothing to save.
    m_box.SetAnswer(IDNO);
    ASSERT_TRUE(m_commands.newLog());
    m_box.SetAnswer(IDYES);
    m_commands.setListeningQuery([] { return true; });
    ASSERT_TRUE(m_commands.isUntitled());
    EXPECT_TRUE(m_commands.openRecent(0));
    EXPECT_EQ(m_dialogs.size(), 1u) << "no Save As for an empty log";
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "kept");
}

TEST_F(LogFileCommandsTest, OpenLoadsAnyFileAndPutsItOnTheRecentList) {
    m_doc.AppendLog(L"first log", LOG_STYLE_PLAIN);
    m_pendingAnswers.push_back(PathOf("first.txt"));
    ASSERT_TRUE(m_commands.saveAs());
    m_box.SetAnswer(IDNO);
    ASSERT_TRUE(m_commands.newLog());
    m_box.SetAnswer(IDYES);
    std::vector<QString> opened;
    m_commands.setOpenDialog(
        [&](QWidget*, const QString& strCaption, const QString&, const QString& strFilter) {
            opened.push_back(strCaption + "|" + strFilter);
            return PathOf("first.txt");
        });
    // Not the recent list's way: it works for any file, also one the list no longer has.
    EXPECT_TRUE(m_commands.openFile());
    ASSERT_EQ(1u, opened.size());
    EXPECT_TRUE(opened[0].contains("*.txt"));
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "first log");
    EXPECT_EQ(m_commands.title(), QStringLiteral("first.txt"));
    EXPECT_EQ(MenuTexts(), QStringList{"&1 " + PathOf("first.txt")});
    // A cancelled dialog loads nothing.
    m_commands.setOpenDialog(
        [](QWidget*, const QString&, const QString&, const QString&) { return QString(); });
    EXPECT_FALSE(m_commands.openFile());
    EXPECT_EQ(m_doc.ReadBytes(0, 100), "first log");
}

TEST_F(LogFileCommandsTest, TheSaveDialogAddsTxtWithTheTextFilter) {
    QString strChosen;
    // The real dialog (Qt's own on the offscreen platform): a name typed without an
    // extension comes back with ".txt".
    QTimer::singleShot(200, [&] {
        auto* pDialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(nullptr, pDialog);
        auto* pName = pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(nullptr, pName);
        pName->setText(PathOf("traffic"));
        QTest::keyClick(pName, Qt::Key_Return);
    });
    strChosen =
        CLogFileCommands::runSaveDialog(nullptr, QStringLiteral("Save As"), PathOf(""),
                                        QStringLiteral("Text Files (*.txt);;All Files (*.*)"));
    EXPECT_EQ(PathOf("traffic.txt"), strChosen);
}

TEST_F(LogFileCommandsTest, AnExceptionInACommandShowsTheViewsErrorBox) {
    m_commands.setSaveDialog(
        [](QWidget*, const QString&, const QString&, const QString&) -> QString {
            throw new CException(L"dialog broke");
        });
    EXPECT_FALSE(m_commands.saveAs());
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].strText, L"ERROR: CTapvaneView failed! dialog broke");
    EXPECT_EQ(m_box.Boxes()[0].nType, MB_ICONEXCLAMATION);
}

TEST_F(LogFileCommandsTest, LongPathsShowShortenedAndAmpersandsAsText) {
    const std::string strFolder = "a&b-" + std::string(80, 'f');
    ASSERT_EQ(::mkdir(m_dir.Path(strFolder).c_str(), 0755), 0);
    m_doc.AppendLog(L"x", LOG_STYLE_PLAIN);
    m_pendingAnswers.push_back(PathOf(strFolder + "/log.txt"));
    ASSERT_TRUE(m_commands.saveAs());
    const QString strText = MenuTexts().front();
    EXPECT_TRUE(strText.startsWith("&1 ")) << strText.toStdString();
    EXPECT_TRUE(strText.endsWith("/log.txt"));
    EXPECT_LE(strText.size(), 3 + static_cast<qsizetype>(CRecentFileList::kMaxDisplayChars) + 2);
    EXPECT_EQ(m_commands.recentList().Get(0), PathOf(strFolder + "/log.txt").toStdWString());
}

}  // namespace
