// "Replay Session" and "Edit and Resend..." in the real window: chosen from the session
// list's menu, their dialogs driven with key and mouse events, the new sessions in the list
// with their origin and the server receiving the bytes; and the resend editor on its own.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <mutex>
#include <thread>

#include "MainFrameFixture.h"
#include "capture/RelayFixture.h"
#include "capture/ReplaySessions.h"
#include "logdoc/SessionListModel.h"
#include "ui/ReplayDialog.h"
#include "ui/ResendDialog.h"
#include "ui/SessionPane.h"
#include "ui/SessionTableModel.h"

namespace {

using test::PumpUntil;

class ReplayWindowTest : public test::MainFrameFixture {
protected:
    void TearDown() override {
        ReplaySessions().StopAll();
        EXPECT_TRUE(ReplaySessions().WaitAll(std::chrono::seconds(5)));
        MainFrameFixture::TearDown();
    }

    // Listens, relays one session that sends `text` and reads its echo, and waits for its
    // row to show it has ended.
    void RecordSession(std::uint16_t nServerPort, const std::string& text) {
        const std::uint16_t nLocal = test::FreePort();
        Bar().UrlBox()->lineEdit()->setText(QStringLiteral("127.0.0.1"));
        SetField(Bar().LocalPortField(), QString::number(nLocal));
        SetField(Bar().RemotePortField(), QString::number(nServerPort));
        QTest::mouseClick(Bar().ListenButton(), Qt::LeftButton);
        ASSERT_TRUE(m_pFrame->IsListening());
        std::thread client([&] {
            const int fd = test::ConnectPosix(nLocal);
            test::SendAllPosix(fd, text);
            (void)test::ReceiveExactlyPosix(fd, text.size());
            ::close(fd);
        });
        CSessionTableModel& model = m_pFrame->SessionPane()->model();
        const bool bEnded = PumpUntil([&] {
            return model.rowCount() == 1 &&
                   Cell(0, CSessionListModel::ColState) == QStringLiteral("closed");
        });
        client.join();
        ASSERT_TRUE(bEnded) << Cell(0, CSessionListModel::ColState).toStdString();
    }

    QString Cell(int nRow, int nColumn) {
        CSessionTableModel& model = m_pFrame->SessionPane()->model();
        return model.data(model.index(nRow, nColumn)).toString();
    }

    // Selects the first row with a click and picks `strAction` from its menu (Shift+F10).
    void ChooseFromMenu(const QString& strAction) {
        QTableView* pTable = m_pFrame->SessionPane()->table();
        // After a dialog, the window is active again before keys reach it.
        m_pFrame->activateWindow();
        PumpUntil([&] { return m_pFrame->isActiveWindow(); }, 2000);
        const QRect rect = pTable->visualRect(pTable->model()->index(0, 0));
        QTest::mouseClick(pTable->viewport(), Qt::LeftButton, {}, rect.center());
        bool bFound = false;
        QTimer poll;
        QElapsedTimer waited;
        waited.start();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (pMenu == nullptr) {
                if (waited.elapsed() > 3000) {
                    poll.stop();
                }
                return;
            }
            poll.stop();
            for (QAction* pAction : pMenu->actions()) {
                if (pAction->text() == strAction && pAction->isEnabled()) {
                    bFound = true;
                    pMenu->setActiveAction(pAction);
                    QTest::keyClick(pMenu, Qt::Key_Return);
                    return;
                }
            }
            pMenu->close();
        });
        poll.start(20);
        pTable->setFocus();
        QTest::keyClick(pTable, Qt::Key_F10, Qt::ShiftModifier);
        EXPECT_TRUE(bFound) << strAction.toStdString();
    }

    // Runs `fn` on the dialog of type D once it is shown (modal), within 5 s.
    template <class D, class F>
    void WhenShown(F fn) {
        auto* pTimer = new QTimer(m_pFrame.get());
        auto deadline = std::make_shared<QElapsedTimer>();
        deadline->start();
        QObject::connect(pTimer, &QTimer::timeout, [pTimer, deadline, fn] {
            if (auto* pDialog = qobject_cast<D*>(QApplication::activeModalWidget())) {
                pTimer->stop();
                pTimer->deleteLater();
                fn(*pDialog);
            } else if (deadline->elapsed() > 5000) {
                pTimer->stop();
                pTimer->deleteLater();
            }
        });
        pTimer->start(20);
    }
};

TEST_F(ReplayWindowTest, ReplaySessionSendsTheClientBlocksAsANewSession) {
    test::CRecordingEcho server;
    OpenFrameWithRealLog();
    const std::string text = "hello replay\r\n";
    RecordSession(server.Port(), text);

    bool bDialog = false;
    WhenShown<CReplayDialog>([&](CReplayDialog& dialog) {
        bDialog = true;
        // The session's own server is offered; the quiet time is shortened by typing.
        EXPECT_TRUE(dialog.sessionServerButton()->isEnabled());
        EXPECT_TRUE(dialog.quietButton()->isChecked());
        QTest::mouseClick(dialog.sessionServerButton(), Qt::LeftButton);
        dialog.quietBox()->selectAll();
        QTest::keyClicks(dialog.quietBox(), "100");
        EXPECT_EQ(100, dialog.quietMs());
        EXPECT_TRUE(dialog.sessionServer());
        QTest::keyClick(&dialog, Qt::Key_Return);
    });
    ChooseFromMenu(QStringLiteral("Replay Session"));
    EXPECT_TRUE(bDialog);

    CSessionTableModel& model = m_pFrame->SessionPane()->model();
    ASSERT_TRUE(PumpUntil([&] {
        return model.rowCount() == 2 && Cell(1, CSessionListModel::ColState) == "closed";
    })) << model.rowCount();
    EXPECT_EQ(QStringLiteral("replay of #1"), Cell(1, CSessionListModel::ColOrigin));
    EXPECT_EQ(QStringLiteral("1000"), Cell(1, CSessionListModel::ColNumber));
    EXPECT_EQ(QString::number(text.size()), Cell(1, CSessionListModel::ColBytesSent));
    EXPECT_EQ(QString::number(text.size()), Cell(1, CSessionListModel::ColBytesReceived));
    EXPECT_EQ(QString(), Cell(0, CSessionListModel::ColOrigin));
    const std::vector<std::string> received = server.Received();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(text, received[0]);
    EXPECT_EQ(text, received[1]);

    // Cancelled: nothing is sent.
    WhenShown<CReplayDialog>(
        [](CReplayDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); });
    ChooseFromMenu(QStringLiteral("Replay Session"));
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(2, model.rowCount());
}

TEST_F(ReplayWindowTest, EditAndResendSendsTheEditedRequestWithItsLengthFixed) {
    test::CRecordingEcho server;
    OpenFrameWithRealLog();
    RecordSession(server.Port(), "POST /f HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc");

    bool bDialog = false;
    WhenShown<CResendDialog>([&](CResendDialog& dialog) {
        bDialog = true;
        EXPECT_EQ(CResendDialog::TextTab, dialog.tabs()->currentIndex());
        EXPECT_TRUE(dialog.crlfBox()->isChecked());
        // The body grows by typing at its end; the length follows on request.
        QPlainTextEdit* pText = dialog.textEdit();
        pText->setFocus();
        QTest::keyClick(pText, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(pText, "def");
        QTest::mouseClick(dialog.fixLengthButton(), Qt::LeftButton);
        EXPECT_TRUE(pText->toPlainText().contains("Content-Length: 6\n"))
            << pText->toPlainText().toStdString();
        // Through the hex view and back: the bytes stay.
        QTest::mouseClick(dialog.tabs()->tabBar(), Qt::LeftButton, {},
                          dialog.tabs()->tabBar()->tabRect(CResendDialog::HexTab).center());
        EXPECT_EQ(CResendDialog::HexTab, dialog.tabs()->currentIndex());
        EXPECT_TRUE(dialog.hexEdit()->toPlainText().startsWith("50 4f 53 54"));
        QTest::mouseClick(dialog.sendButton(), Qt::LeftButton);
    });
    ChooseFromMenu(QStringLiteral("Edit and Resend..."));
    EXPECT_TRUE(bDialog);

    CSessionTableModel& model = m_pFrame->SessionPane()->model();
    ASSERT_TRUE(PumpUntil(
        [&] { return model.rowCount() == 2 && Cell(1, CSessionListModel::ColState) == "closed"; }));
    EXPECT_EQ(QStringLiteral("edited resend of #1"), Cell(1, CSessionListModel::ColOrigin));
    EXPECT_EQ(QStringLiteral("POST /f HTTP/1.1"), Cell(1, CSessionListModel::ColRequest));
    const std::vector<std::string> received = server.Received();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ("POST /f HTTP/1.1\r\nHost: a\r\nContent-Length: 6\r\n\r\nabcdef", received[1]);
}

TEST(ResendDialogTest, BinaryBytesAreEditedAsHexOnly) {
    const std::string binary(
        "\x00\x01\xfe\xff"
        "abc\r",
        8);
    CResendDialog dialog(binary);
    dialog.show();
    EXPECT_EQ(CResendDialog::HexTab, dialog.tabs()->currentIndex());
    EXPECT_EQ("00 01 fe ff 61 62 63 0d", dialog.hexEdit()->toPlainText().toStdString());
    // The text view refuses bytes that are no text.
    QTest::mouseClick(dialog.tabs()->tabBar(), Qt::LeftButton, {},
                      dialog.tabs()->tabBar()->tabRect(CResendDialog::TextTab).center());
    EXPECT_EQ(CResendDialog::HexTab, dialog.tabs()->currentIndex());
    EXPECT_FALSE(dialog.problemLabel()->text().isEmpty());
    std::string bytes;
    ASSERT_TRUE(dialog.editedBytes(bytes));
    EXPECT_EQ(binary, bytes);
    // Typed in the hex view: a byte more; a lone digit gives no bytes and keeps the dialog.
    dialog.hexEdit()->setFocus();
    QTest::keyClick(dialog.hexEdit(), Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(dialog.hexEdit(), " 0A");
    ASSERT_TRUE(dialog.editedBytes(bytes));
    EXPECT_EQ(binary + "\n", bytes);
    QTest::keyClicks(dialog.hexEdit(), " 7");
    EXPECT_FALSE(dialog.editedBytes(bytes));
    QTest::mouseClick(dialog.sendButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.problemLabel()->text().isEmpty());
    // 16 bytes to a line, and back.
    const std::string pattern = test::Pattern(40);
    std::string back;
    ASSERT_TRUE(CResendDialog::fromHex(CResendDialog::toHex(pattern), back));
    EXPECT_EQ(pattern, back);
    EXPECT_EQ(3, CResendDialog::toHex(pattern).count('\n') + 1);
    EXPECT_FALSE(CResendDialog::fromHex("4g", back));
    EXPECT_FALSE(CResendDialog::isEditableText("a\r\nb\nc"));  // mixed line ends
    EXPECT_TRUE(CResendDialog::isEditableText("caf\xc3\xa9\r\n"));
}

}  // namespace
