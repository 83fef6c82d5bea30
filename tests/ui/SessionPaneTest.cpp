// The session list in the top pane of the real window: filled from the log's records as
// sessions run, sorted by a column, selecting a session shows its first block, its bytes
// saved, the whole log exported as a capture, and New empties it.
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <thread>

#include "MainFrameFixture.h"
#include "TempFolder.h"
#include "capture/RelayFixture.h"
#include "logdoc/LogDocument.h"
#include "logdoc/SessionListModel.h"
#include "logdoc/TsharkSupport.h"
#include "ui/LogView.h"
#include "ui/SessionPane.h"
#include "ui/SessionTableModel.h"

namespace {

using test::PumpUntil;

class SessionPaneTest : public test::PlainRelayFrameFixture {
protected:
    std::uint16_t Listen(std::uint16_t nServerPort) {
        const std::uint16_t nLocal = test::FreePort();
        Bar().UrlBox()->lineEdit()->setText(QStringLiteral("127.0.0.1"));
        SetField(Bar().LocalPortField(), QString::number(nLocal));
        SetField(Bar().RemotePortField(), QString::number(nServerPort));
        EXPECT_TRUE(ListenEnabled());
        QTest::mouseClick(Bar().ListenButton(), Qt::LeftButton);
        EXPECT_TRUE(m_pFrame->IsListening());
        return nLocal;
    }

    // One session: `text` there and back, then the client closes.
    static void PingPong(std::uint16_t nLocal, const std::string& text) {
        const int fd = test::ConnectPosix(nLocal);
        test::SendAllPosix(fd, text);
        EXPECT_EQ(text, test::ReceiveExactlyPosix(fd, text.size()));
        ::close(fd);
    }

    QString Cell(int nRow, int nColumn) {
        CSessionTableModel& model = m_pFrame->SessionPane()->model();
        return model.data(model.index(nRow, nColumn)).toString();
    }
};

TEST_F(SessionPaneTest, ListsSessionsAndShowsSavesAndExportsThem) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd, 10000); });
    OpenFrameWithRealLog();
    CSessionPane* pPane = m_pFrame->SessionPane();
    ASSERT_NE(nullptr, pPane);
    EXPECT_TRUE(pPane->isVisible());
    const std::uint16_t nLocal = Listen(server.Port());
    // Three sessions one after the other: the numbers 0, 0, 0 repeat, the rows do not.
    const std::vector<std::string> texts = {"first\r\n", "the second one\r\n", "3rd\r\n"};
    std::thread clients([&] {
        for (const std::string& text : texts) {
            PingPong(nLocal, text);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    CSessionTableModel& model = pPane->model();
    const int nState = CSessionListModel::ColState;
    ASSERT_TRUE(PumpUntil([&] {
        return model.rowCount() == 3 && Cell(0, nState) == "closed" &&
               Cell(1, nState) == "closed" && Cell(2, nState) == "closed";
    })) << model.rowCount();
    clients.join();
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(QString::number(texts[static_cast<std::size_t>(n)].size()),
                  Cell(n, CSessionListModel::ColBytesSent));
        EXPECT_EQ(QStringLiteral("1"), Cell(n, CSessionListModel::ColBlocksReceived));
        EXPECT_EQ(QStringLiteral("127.0.0.1:%1").arg(server.Port()),
                  Cell(n, CSessionListModel::ColServer));
        EXPECT_TRUE(Cell(n, CSessionListModel::ColClient).startsWith("127.0.0.1:"));
    }
    EXPECT_EQ("Bytes Sent",
              model.headerData(CSessionListModel::ColBytesSent, Qt::Horizontal).toString());

    // Sorted by the bytes sent, most first: the second session leads.
    pPane->table()->sortByColumn(CSessionListModel::ColBytesSent, Qt::DescendingOrder);
    EXPECT_EQ(QString::number(texts[1].size()), Cell(0, CSessionListModel::ColBytesSent));
    EXPECT_EQ(QString::number(texts[2].size()), Cell(2, CSessionListModel::ColBytesSent));

    // Selecting the last row (the third session) shows its first block's marker line, and
    // the log stops following new traffic.
    pPane->table()->selectRow(2);
    auto* pView = qobject_cast<CLogView*>(m_pFrame->LogPane().View());
    ASSERT_NE(nullptr, pView);
    const CLogDocument& doc = pView->document();
    const std::uint64_t nLine = pView->caretPosition().nLine;
    const std::vector<CLogLineSpan> spans = doc.GetLines(nLine, 1);
    ASSERT_EQ(1u, spans.size());
    EXPECT_EQ("0---<---3rd", doc.ReadBytes(spans[0].nStart, spans[0].nLength));
    EXPECT_GE(nLine, pView->firstVisibleLine());
    EXPECT_LT(nLine,
              pView->firstVisibleLine() + static_cast<std::uint64_t>(pView->visibleLineCount()));
    EXPECT_FALSE(Act(ID_VIEW_FOLLOW).isChecked());

    // The session's bytes, one file each way.
    CTempFolder folder;
    std::uint32_t nRow = 0;
    ASSERT_TRUE(pPane->selectedSession(nRow));
    EXPECT_EQ(2u, nRow);
    // The files are named by the list's ordinal, which no two sessions share (all three
    // sessions are "0" in the log); a second save does not replace them unasked.
    QStringList ordinals;
    for (int n = 0; n < 3; ++n) {
        ordinals << Cell(n, CSessionListModel::ColOrdinal);
        EXPECT_EQ(QStringLiteral("0"), Cell(n, CSessionListModel::ColNumber));
    }
    EXPECT_EQ(QStringList({"2", "1", "3"}), ordinals);  // sorted by the bytes sent
    ASSERT_EQ(0, pPane->saveSessionBytesTo(nRow, QString::fromStdString(folder.Path())));
    EXPECT_EQ(texts[2], folder.ReadFile("session-3-client.bin"));
    EXPECT_EQ(texts[2], folder.ReadFile("session-3-server.bin"));
    ASSERT_EQ(0, pPane->saveSessionBytesTo(0, QString::fromStdString(folder.Path())));
    EXPECT_EQ(texts[0], folder.ReadFile("session-1-client.bin"));
    EXPECT_EQ(EEXIST, pPane->saveSessionBytesTo(nRow, QString::fromStdString(folder.Path())));
    EXPECT_EQ(0, pPane->saveSessionBytesTo(nRow, QString::fromStdString(folder.Path()), true));

    // File > Export > Packet Capture (pcapng)...
    QAction& exportAction = Act(ID_FILE_EXPORT_PCAP);
    EXPECT_EQ("Packet Capture (pcapng)...", exportAction.text());
    ASSERT_NE(nullptr, exportAction.associatedObjects().value(0));
    const std::string strCapture = folder.Path("all.pcapng");
    ASSERT_EQ(0, pPane->exportCaptureTo(QString::fromStdString(strCapture)));
    if (test::HaveTshark()) {
        EXPECT_EQ(3u, test::Conversations(strCapture).size());
        EXPECT_EQ(texts[1], test::FollowTcp(strCapture, 1).second);
    } else {
        std::cerr << "tshark is not installed: the exported capture is not read back\n";
    }

    // Show Only This Session: the session's blocks with their marker lines, nothing else;
    // then back to the whole log.
    emit pPane->showOnlySession(1);
    auto* pFilter = qobject_cast<CLogView*>(m_pFrame->SessionFilterView());
    ASSERT_NE(nullptr, pFilter);
    EXPECT_TRUE(pFilter->isVisible());
    EXPECT_FALSE(pView->isVisible());
    const CLogDocument& only = pFilter->document();
    EXPECT_EQ("\r\n0---<---" + texts[1] + "\r\n0--->---" + texts[1],
              only.ReadBytes(0, only.GetSize()));
    emit pPane->showAllSessions();
    EXPECT_EQ(nullptr, m_pFrame->SessionFilterView());
    EXPECT_TRUE(pView->isVisible());
    emit pPane->showOnlySession(0);  // left shown: New takes it away with the log

    // The menu from the keyboard (Shift+F10): "Show All Sessions" is enabled only while
    // one session is shown.
    QStringList menuTexts;
    bool bShowAllEnabled = false;
    QTimer::singleShot(100, [&] {
        auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (pMenu == nullptr) {
            return;
        }
        for (QAction* pAction : pMenu->actions()) {
            menuTexts << pAction->text();
            if (pAction->text() == "Show All Sessions") {
                bShowAllEnabled = pAction->isEnabled();
            }
        }
        pMenu->close();
    });
    pPane->table()->setFocus();
    QTest::keyClick(pPane->table(), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_TRUE(menuTexts.contains("Save Session Bytes...")) << menuTexts.join('|').toStdString();
    EXPECT_TRUE(bShowAllEnabled);

    // New empties the list with the log (the ended sessions go).
    m_nAnswer = IDNO;
    Act(ID_FILE_NEW).trigger();
    ASSERT_TRUE(PumpUntil([&] { return model.rowCount() == 0; }, 3000));
    EXPECT_EQ(nullptr, m_pFrame->SessionFilterView());
}

}  // namespace

namespace {

class SessionPaneRecordsTest : public test::MainFrameFixture {
protected:
    void Session(std::uint64_t nId) {
        ILogSink& sink = m_pFrame->LogPane().Sink();
        CLogRecord record;
        record.kind = LogRecordKind::SessionStart;
        record.nSessionId = nId;
        record.nTimeUs = static_cast<std::int64_t>(nId);
        sink.OnLogRecord(record);
        sink.AppendLogUtf8("\r\nSession 0 starts.", LOG_STYLE_BOLD);
    }
    bool LastRowVisible() {
        QTableView* pTable = m_pFrame->SessionPane()->table();
        const int nLast = pTable->model()->rowCount() - 1;
        const QRect rect = pTable->visualRect(pTable->model()->index(nLast, 0));
        return rect.isValid() && pTable->viewport()->rect().contains(rect.center());
    }
};

TEST_F(SessionPaneRecordsTest, TheListFollowsNewRowsWhileTheLogDoes) {
    OpenFrameWithRealLog();
    m_pFrame->resize(800, 600);
    CSessionTableModel& model = m_pFrame->SessionPane()->model();
    for (std::uint64_t n = 1; n <= 200; ++n) {
        Session(n);
    }
    ASSERT_TRUE(PumpUntil([&] { return model.rowCount() == 200; }));
    EXPECT_TRUE(PumpUntil([&] { return LastRowVisible(); }, 3000))
        << Act(ID_VIEW_FOLLOW).isChecked() << " "
        << m_pFrame->SessionPane()->table()->verticalScrollBar()->value() << "/"
        << m_pFrame->SessionPane()->table()->verticalScrollBar()->maximum() << " h "
        << m_pFrame->SessionPane()->table()->viewport()->height();

    // Follow New Traffic off: new rows do not move the list.
    Act(ID_VIEW_FOLLOW).trigger();
    m_pFrame->SessionPane()->table()->scrollToTop();
    for (std::uint64_t n = 201; n <= 260; ++n) {
        Session(n);
    }
    ASSERT_TRUE(PumpUntil([&] { return model.rowCount() == 260; }));
    PumpUntil([] { return false; }, 300);
    EXPECT_FALSE(LastRowVisible());
    EXPECT_EQ(0, m_pFrame->SessionPane()->table()->verticalScrollBar()->value());
}

TEST_F(SessionPaneRecordsTest, ALoadedLogCannotBeExportedAsACapture) {
    OpenFrameWithRealLog();
    QAction& exportAction = Act(ID_FILE_EXPORT_PCAP);
    Session(1);
    ASSERT_TRUE(PumpUntil([&] { return exportAction.isEnabled(); }, 3000));
    CLogRecord end;
    end.kind = LogRecordKind::SessionEnd;
    end.nSessionId = 1;
    end.nTimeUs = 5;
    m_pFrame->LogPane().Sink().OnLogRecord(end);

    // A saved log loaded again has text but no recorded blocks.
    CTempFolder folder;
    const std::string strPath = folder.Path("saved.txt");
    {
        std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
        ASSERT_NE(nullptr, pFile);
        std::fputs("\r\nSession 0 starts.\r\n0---<---GET / HTTP/1.1\r\n", pFile);
        std::fclose(pFile);
    }
    auto* pDoc = dynamic_cast<CLogDocument*>(&m_pFrame->LogPane().Sink());
    ASSERT_NE(nullptr, pDoc);
    ASSERT_EQ(0u, pDoc->LoadFrom(QString::fromStdString(strPath).toStdWString(), {}));
    EXPECT_TRUE(PumpUntil([&] { return !exportAction.isEnabled(); }, 3000));
    EXPECT_TRUE(exportAction.statusTip().contains("no recorded blocks"))
        << pDoc->GetRecords().GetBlockCount() << " " << pDoc->GetRecords().Sessions().GetCount()
        << exportAction.statusTip().toStdString();
}

}  // namespace
