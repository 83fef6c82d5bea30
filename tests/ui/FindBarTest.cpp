// Edit > Find on the real log, driven with keys: Ctrl+F, typing, F3, Shift+F3, Return,
// the check boxes' mnemonics, Tab, Escape; the marks on screen and cancelling a search.
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include "MainFrameFixture.h"
#include "logdoc/LogDocument.h"
#include "ui/FindBar.h"
#include "ui/LogView.h"

namespace {

class FindBarTest : public test::MainFrameFixture {
protected:
    void Open(const std::string& text) {
        OpenFrameWithRealLog();
        m_pFrame->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
        m_pView = qobject_cast<CLogView*>(m_pFrame->LogPane().View());
        m_pBar = m_pFrame->FindBar();
        ASSERT_NE(m_pView, nullptr);
        ASSERT_NE(m_pBar, nullptr);
        Doc().AppendUtf8(text, 2);
        m_pView->refresh();
        m_pView->setFocus();
        QApplication::processEvents();
    }
    CLogDocument& Doc() { return const_cast<CLogDocument&>(*m_pFrame->LogPane().Document()); }
    QString Selected() { return m_pView->selectedText(); }
    std::uint64_t SelectionStart() { return m_pView->selectionRange().first; }
    // Presses a key where the focus is and waits for the search it starts.
    void Press(int nKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(nKey), modifiers);
        ASSERT_TRUE(test::PumpUntil([&] { return !m_pBar->IsSearching(); }));
    }
    bool Counted(std::uint64_t nCount) {
        return test::PumpUntil(
            [&] { return m_pBar->IsCounted() && m_pBar->MatchCount() == nCount; }, 5000);
    }
    // Whether the view shows a pixel in the colour of the marks.
    bool ShowsMarks() {
        m_pView->viewport()->repaint();
        const QImage image = m_pView->viewport()->grab().toImage();
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixelColor(x, y) == QColor(255, 225, 90)) {
                    return true;
                }
            }
        }
        return false;
    }

    CLogView* m_pView = nullptr;
    CFindBar* m_pBar = nullptr;
};

TEST_F(FindBarTest, CtrlFTypeF3ShiftF3AndEscape) {
    Open("alpha GET one\r\nbeta get two\r\nGET three\r\n");
    EXPECT_FALSE(m_pBar->isVisible());
    QTest::keyClick(m_pView, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(m_pBar->isVisible());
    EXPECT_TRUE(m_pBar->TextField()->hasFocus());
    EXPECT_FALSE(ShowsMarks());
    QTest::keyClicks(m_pBar->TextField(), "get");
    EXPECT_TRUE(Counted(3)) << m_pBar->StatusLabel()->text().toStdString();
    EXPECT_EQ(m_pBar->StatusLabel()->text(), QStringLiteral("3 matches"));
    EXPECT_TRUE(ShowsMarks());
    // The count follows the log as it grows, also for a match cut by two appends.
    Doc().AppendUtf8("more g", 2);
    Doc().AppendUtf8("et\r\n", 2);
    EXPECT_TRUE(Counted(4)) << m_pBar->StatusLabel()->text().toStdString();

    // Following new traffic would move the caret away: the first match turns it off.
    Press(Qt::Key_F3);
    EXPECT_EQ(Selected(), QStringLiteral("GET"));
    EXPECT_EQ(SelectionStart(), 6u);
    EXPECT_FALSE(Act(ID_VIEW_FOLLOW).isChecked());
    Press(Qt::Key_Return);
    EXPECT_EQ(SelectionStart(), 20u);
    Press(Qt::Key_F3);
    EXPECT_EQ(SelectionStart(), 29u);
    Press(Qt::Key_F3);
    EXPECT_EQ(SelectionStart(), 45u);
    // Round the end to the first one again, and saying so.
    Press(Qt::Key_F3);
    EXPECT_EQ(SelectionStart(), 6u);
    EXPECT_TRUE(m_pBar->StatusLabel()->text().contains(QStringLiteral("went on from the start")));
    Press(Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(SelectionStart(), 45u);
    Press(Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(SelectionStart(), 29u);

    // Alt+C: Match case. Only the lower-case ones are left.
    QTest::keyClick(m_pBar->TextField(), Qt::Key_C, Qt::AltModifier);
    // A mnemonic clicks its button a moment later, as a pressed button would.
    EXPECT_TRUE(test::PumpUntil([&] { return m_pBar->MatchCaseBox()->isChecked(); }, 2000));
    EXPECT_TRUE(Counted(2));
    m_pBar->TextField()->setFocus();
    QTest::keyClick(m_pBar->TextField(), Qt::Key_Backspace);
    QTest::keyClicks(m_pBar->TextField(), "T");
    EXPECT_EQ(m_pBar->TextField()->text(), QStringLiteral("geT"));
    EXPECT_TRUE(Counted(0));
    EXPECT_EQ(m_pBar->StatusLabel()->text(), QStringLiteral("No matches"));
    Press(Qt::Key_F3);
    EXPECT_EQ(m_pBar->StatusLabel()->text(), QStringLiteral("Not found.  No matches"));
    EXPECT_EQ(SelectionStart(), 29u);  // the selection stays

    // Escape closes the bar; the log has the focus and shows no marks.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(m_pBar->isVisible());
    EXPECT_TRUE(m_pView->hasFocus());
    EXPECT_FALSE(ShowsMarks());
    // F3 with the bar closed searches with the last text.
    m_pBar->MatchCaseBox()->setChecked(false);
    Press(Qt::Key_F3);
    EXPECT_EQ(SelectionStart(), 45u);
    // Escape in the log closes the open bar as well; then it is the log's own key again.
    QTest::keyClick(m_pView, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(m_pBar->isVisible());
    m_pView->setFocus();
    QTest::keyClick(m_pView, Qt::Key_Escape);
    EXPECT_FALSE(m_pBar->isVisible());
}

TEST_F(FindBarTest, PatternsErrorsTabOrderAndTheSelectionAsText) {
    Open("GET /a HTTP/1.1\r\nPOST /b HTTP/1.0\r\nGET /c HTTP/1.0\r\n");
    // A short selection is the text to find when the bar opens.
    m_pView->selectRange(17, 21);
    QTest::keyClick(m_pView, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(m_pBar->TextField()->text(), QStringLiteral("POST"));
    EXPECT_TRUE(Counted(1));

    QTest::keyClick(m_pBar->TextField(), Qt::Key_R, Qt::AltModifier);
    ASSERT_TRUE(test::PumpUntil([&] { return m_pBar->RegexBox()->isChecked(); }, 2000));
    m_pBar->TextField()->setFocus();
    m_pBar->TextField()->selectAll();
    QTest::keyClicks(m_pBar->TextField(), "^(GET|POST) /[a-z] HTTP/1\\.0$");
    EXPECT_TRUE(Counted(2));
    Press(Qt::Key_F3);
    EXPECT_EQ(Selected(), QStringLiteral("GET /c HTTP/1.0"));  // the next after "POST"
    QTest::keyClicks(m_pBar->TextField(), ")");
    EXPECT_TRUE(test::PumpUntil([&] {
        return m_pBar->StatusLabel()->text() == QStringLiteral("Pattern error: unmatched ()");
    }));

    // Tab goes through the bar's controls in order.
    m_pBar->TextField()->setFocus();
    const char* const order[] = {"findMatchCase", "findRegex", "findNext", "findPrevious"};
    for (const char* pszName : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), QLatin1String(pszName));
    }
    // The Next button works from the keyboard too.
    m_pBar->TextField()->setFocus();
    m_pBar->TextField()->selectAll();
    QTest::keyClicks(m_pBar->TextField(), "/c");
    m_pBar->findChild<QPushButton*>(QStringLiteral("findNext"))->setFocus();
    Press(Qt::Key_Space);
    EXPECT_EQ(Selected(), QStringLiteral("/c"));
}

TEST_F(FindBarTest, EscapeCancelsASearchOfALargeLog) {
    // Enough text that a pattern search takes a while, with no match.
    Open("");
    const std::string line(1000, 'x');
    std::string block;
    for (int i = 0; i < 1000; ++i) {
        block += line + "\n";
    }
    for (int i = 0; i < 48; ++i) {
        Doc().AppendUtf8(block, 2);
    }
    m_pView->refresh();
    QTest::keyClick(m_pView, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClick(m_pBar->TextField(), Qt::Key_R, Qt::AltModifier);
    ASSERT_TRUE(test::PumpUntil([&] { return m_pBar->RegexBox()->isChecked(); }, 2000));
    m_pBar->TextField()->setFocus();
    QTest::keyClicks(m_pBar->TextField(), "x[yz]");
    QTest::keyClick(m_pBar->TextField(), Qt::Key_F3);
    ASSERT_TRUE(m_pBar->IsSearching()) << "the search ended before Escape could cancel it";
    // The window stays responsive while it runs: events are handled.
    QTest::qWait(20);
    EXPECT_TRUE(m_pBar->IsSearching());
    QTest::keyClick(m_pBar->TextField(), Qt::Key_Escape);
    EXPECT_FALSE(m_pBar->IsSearching());
    EXPECT_FALSE(m_pBar->isVisible());
    QTest::qWait(100);
    EXPECT_FALSE(m_pView->hasSelection());
}

TEST_F(FindBarTest, WithoutALogViewFindIsDisabled) {
    OpenFrame();
    QApplication::processEvents();
    test::PumpUntil([&] { return false; }, 150);  // the idle update
    EXPECT_EQ(m_pFrame->FindBar(), nullptr);
    EXPECT_FALSE(Act(ID_EDIT_FIND).isEnabled());
    EXPECT_FALSE(Act(ID_EDIT_REPEAT).isEnabled());
}

}  // namespace
