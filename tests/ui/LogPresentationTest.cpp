// What the log view shows in the real window: View > Hex Dump and View > Timestamps chosen
// with the keyboard and remembered, Copy of the hex dump, and "Show Only This Session"
// following its session while blocks arrive.
#include <QImage>
#include <QScrollBar>

#include "MainFrameFixture.h"
#include "logdoc/BlockTimes.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "ui/FindBar.h"
#include "ui/LogView.h"

namespace {

using test::PumpUntil;

class LogPresentationTest : public test::MainFrameFixture {
protected:
    ILogSink& Sink() { return m_pFrame->LogPane().Sink(); }

    void StartSession(std::uint64_t nId) {
        CLogRecord record;
        record.kind = LogRecordKind::SessionStart;
        record.nSessionId = nId;
        record.nSession = static_cast<long>(nId);
        Sink().OnLogRecord(record);
    }

    // A block as the relay logs it: begin, marker, text, record.
    void Block(std::uint64_t nId, std::string_view bytes, std::int64_t nTimeUs) {
        CLogRecord record;
        record.kind = LogRecordKind::BlockBegin;
        record.nSessionId = nId;
        record.nSession = static_cast<long>(nId);
        Sink().OnLogRecord(record);
        Sink().AppendLogUtf8("\r\n" + std::to_string(nId) + "---<---", LOG_STYLE_BOLD);
        Sink().AppendLogBytes(bytes, LOG_STYLE_PLAIN);
        record.kind = LogRecordKind::Block;
        record.bytes = bytes;
        record.nTimeUs = nTimeUs;
        Sink().OnLogRecord(record);
    }

    static std::string Text(const CLogView& view) {
        const CLogDocument& doc = view.document();
        return doc.ReadBytes(0, doc.GetSize());
    }

    bool FocusOn(QWidget& widget) {
        QApplication::setActiveWindow(m_pFrame.get());
        widget.setFocus();
        return PumpUntil([&] { return widget.hasFocus(); }, 2000);
    }

    // Opens the View menu with Alt+V and chooses the item with its mnemonic key.
    void ChooseFromViewMenu(Qt::Key key) {
        ASSERT_TRUE(FocusOn(*m_pFrame->ShownLogView()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_V, Qt::AltModifier);
        ASSERT_TRUE(PumpUntil([] { return QApplication::activePopupWidget() != nullptr; }, 2000));
        auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(nullptr, pMenu);
        ASSERT_EQ(QStringLiteral("&View"), pMenu->title());
        QTest::keyClick(pMenu, key);
        ASSERT_TRUE(PumpUntil([] { return QApplication::activePopupWidget() == nullptr; }, 2000));
    }

    // Whether anything is painted on row nRow of the gutter (text lines of nHeight pixels).
    static bool GutterRowPainted(QWidget& gutter, int nRow, int nHeight) {
        const QImage image = gutter.grab().toImage();
        const QRgb background = image.pixel(0, nRow * nHeight);
        for (int y = nRow * nHeight; y < (nRow + 1) * nHeight && y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixel(x, y) != background) {
                    return true;
                }
            }
        }
        return false;
    }
};

TEST_F(LogPresentationTest, HexDumpAndTimestampsFromTheMenuCopiedAndRemembered) {
    OpenFrameWithRealLog();
    StartSession(1);
    // 12:34:56.789 local time today.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    local.tm_hour = 12;
    local.tm_min = 34;
    local.tm_sec = 56;
    const std::int64_t nTimeUs = std::int64_t{std::mktime(&local)} * 1000000 + 789123;
    Block(1, "GET / HTTP/1.1\r\n\x01\xff", nTimeUs);
    CLogView* pLogView = m_pFrame->ShownLogView();
    ASSERT_NE(nullptr, pLogView);
    EXPECT_FALSE(Act(ID_VIEW_HEX_DUMP).isChecked());
    EXPECT_FALSE(Act(ID_VIEW_TIMESTAMPS).isChecked());
    EXPECT_EQ(0, pLogView->gutterWidth());

    // View > Hex Dump: the block as hex lines under its marker line, in the log's place.
    ChooseFromViewMenu(Qt::Key_H);
    EXPECT_TRUE(Act(ID_VIEW_HEX_DUMP).isChecked());
    CLogView* pHex = m_pFrame->ShownLogView();
    ASSERT_NE(pLogView, pHex);
    EXPECT_TRUE(pHex->isVisible());
    EXPECT_FALSE(pLogView->isVisible());
    EXPECT_EQ(nullptr, m_pFrame->SessionFilterView());  // every session is shown
    const std::string strHex =
        "\r\n1---<---"
        "\r\n00000000  47 45 54 20 2f 20 48 54  54 50 2f 31 2e 31 0d 0a  GET / HTTP/1.1.."
        "\r\n00000010  01 ff                                             ..";
    EXPECT_EQ(strHex, Text(*pHex));

    // Copy copies what is shown: Ctrl+A in the view, then Edit > Copy.
    ASSERT_TRUE(FocusOn(*pHex));
    QTest::keyClick(pHex, Qt::Key_A, Qt::ControlModifier);
    ASSERT_TRUE(PumpUntil([&] { return Act(ID_EDIT_COPY).isEnabled(); }, 2000));
    QApplication::clipboard()->clear();
    ASSERT_TRUE(FocusOn(*pHex));  // the window may have lost its activation to the menu
    Act(ID_EDIT_COPY).trigger();
    QString strExpected = QString::fromStdString(strHex);
    strExpected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(strExpected, QApplication::clipboard()->text());

    // Find searches what is shown: the find bar follows the view, and keeps its text.
    Act(ID_EDIT_FIND).trigger();
    ASSERT_NE(nullptr, m_pFrame->FindBar());
    m_pFrame->FindBar()->TextField()->setText(QStringLiteral("2f 31"));
    Act(ID_EDIT_REPEAT).trigger();
    EXPECT_TRUE(PumpUntil([&] { return pHex->selectedText() == QStringLiteral("2f 31"); }, 5000))
        << pHex->selectedText().toStdString();
    m_pFrame->FindBar()->Close();

    // View > Timestamps: the time beside the marker line (line 1), nothing beside the
    // hex lines.
    ChooseFromViewMenu(Qt::Key_I);
    EXPECT_TRUE(Act(ID_VIEW_TIMESTAMPS).isChecked());
    EXPECT_GT(pHex->gutterWidth(), 0);
    EXPECT_EQ(QStringLiteral("12:34:56.789"), pHex->timestampOfLine(1));
    EXPECT_EQ(QString(), pHex->timestampOfLine(2));
    EXPECT_EQ(QString(), pHex->timestampOfLine(0));
    auto* pGutter = pHex->findChild<QWidget*>(QStringLiteral("timestampGutter"));
    ASSERT_NE(nullptr, pGutter);
    EXPECT_TRUE(pGutter->isVisible());
    pHex->scrollToLine(0);
    const int nHeight = pHex->fontMetrics().height();
    EXPECT_TRUE(GutterRowPainted(*pGutter, 1, nHeight));
    EXPECT_FALSE(GutterRowPainted(*pGutter, 2, nHeight));
    // The text and what Copy gives do not change.
    ASSERT_TRUE(FocusOn(*pHex));
    QTest::keyClick(pHex, Qt::Key_A, Qt::ControlModifier);
    Act(ID_EDIT_COPY).trigger();
    EXPECT_EQ(strExpected, QApplication::clipboard()->text());
    EXPECT_EQ(QStringLiteral("12:34:56.789"), pLogView->timestampOfLine(1));

    // Both are remembered; the next window starts with them.
    CloseForGood();
    OpenFrameWithRealLog();
    EXPECT_TRUE(Act(ID_VIEW_HEX_DUMP).isChecked());
    EXPECT_TRUE(Act(ID_VIEW_TIMESTAMPS).isChecked());
    ASSERT_NE(nullptr, m_pFrame->ShownLogView());
    EXPECT_EQ(QStringLiteral("hexDumpView"), m_pFrame->ShownLogView()->objectName());
    EXPECT_GT(m_pFrame->ShownLogView()->gutterWidth(), 0);

    // Off again: the log's own view, without its gutter; the find bar, open, goes along.
    Act(ID_EDIT_FIND).trigger();
    m_pFrame->FindBar()->TextField()->setText(QStringLiteral("HTTP"));
    ChooseFromViewMenu(Qt::Key_H);
    ChooseFromViewMenu(Qt::Key_I);
    EXPECT_EQ(QStringLiteral("logView"), m_pFrame->ShownLogView()->objectName());
    EXPECT_EQ(0, m_pFrame->ShownLogView()->gutterWidth());
    ASSERT_NE(nullptr, m_pFrame->FindBar());
    EXPECT_TRUE(m_pFrame->FindBar()->isVisible());
    EXPECT_EQ(QStringLiteral("HTTP"), m_pFrame->FindBar()->TextField()->text());
}

TEST_F(LogPresentationTest, OneSessionsViewGrowsWithItsBlocksOnly) {
    OpenFrameWithRealLog();
    StartSession(1);
    StartSession(2);
    Block(1, "one", 1);
    Block(2, "two", 2);
    m_pFrame->ShowOnlySession(0);  // the row of session 1
    auto* pOnly = qobject_cast<CLogView*>(m_pFrame->SessionFilterView());
    ASSERT_NE(nullptr, pOnly);
    EXPECT_EQ(pOnly, m_pFrame->ShownLogView());
    EXPECT_EQ("\r\n1---<---one", Text(*pOnly));

    // Another session's block leaves it as it is, even after a few timer ticks.
    Block(2, "not this", 3);
    QTest::qWait(200);
    EXPECT_EQ("\r\n1---<---one", Text(*pOnly));
    // Its own session's block appears by itself.
    Block(1, "more", 4);
    EXPECT_TRUE(PumpUntil([&] { return Text(*pOnly) == "\r\n1---<---one\r\n1---<---more"; }, 3000))
        << Text(*pOnly);

    // Its gutter: a click there is no click in the text, and the text starts right of it.
    Act(ID_VIEW_TIMESTAMPS).trigger();
    auto* pGutter = pOnly->findChild<QWidget*>(QStringLiteral("timestampGutter"));
    ASSERT_NE(nullptr, pGutter);
    EXPECT_EQ(pOnly->gutterWidth(),
              pOnly->viewport()->geometry().left() - pOnly->contentsRect().left());
    EXPECT_EQ(QStringLiteral("00:00:00.000").size(), pOnly->timestampOfLine(1).size());
    const int nHeight = pOnly->fontMetrics().height();
    pOnly->setCaretPosition({1, 5});
    QTest::mouseClick(pGutter, Qt::LeftButton, {}, QPoint(3, nHeight + 2));
    EXPECT_EQ((CLogView::CTextPos{1, 5}), pOnly->caretPosition());
    QTest::mouseClick(pOnly->viewport(), Qt::LeftButton, {}, QPoint(1, 2 * nHeight + 2));
    EXPECT_EQ((CLogView::CTextPos{2, 0}), pOnly->caretPosition());
    Act(ID_VIEW_TIMESTAMPS).trigger();  // off: not remembered into the next test

    // With Hex Dump the same session's blocks as hex; then all sessions again, still hex.
    Act(ID_VIEW_HEX_DUMP).trigger();
    pOnly = qobject_cast<CLogView*>(m_pFrame->SessionFilterView());
    ASSERT_NE(nullptr, pOnly);
    EXPECT_EQ("\r\n1---<---\r\n00000000  6f 6e 65" + std::string(42, ' ') +
                  "one\r\n1---<---\r\n00000000  6d 6f 72 65" + std::string(39, ' ') + "more",
              Text(*pOnly));
    m_pFrame->ShowAllSessions();
    EXPECT_EQ(nullptr, m_pFrame->SessionFilterView());
    CLogView* pHex = m_pFrame->ShownLogView();
    EXPECT_NE(std::string::npos, Text(*pHex).find("74 77 6f"));  // "two" is back

    // A log emptied or loaded otherwise than by New (a recent file opened) takes one
    // session's view away too.
    m_pFrame->ShowOnlySession(1);
    ASSERT_NE(nullptr, m_pFrame->SessionFilterView());
    const_cast<CLogDocument*>(m_pFrame->LogPane().Document())->Clear();
    EXPECT_TRUE(PumpUntil([&] { return m_pFrame->SessionFilterView() == nullptr; }, 3000));
    EXPECT_EQ(QStringLiteral("hexDumpView"), m_pFrame->ShownLogView()->objectName());
    Block(2, "two", 6);

    // New empties the log and what is shown of it.
    m_nAnswer = IDNO;
    Act(ID_FILE_NEW).trigger();
    EXPECT_TRUE(
        PumpUntil([&] { return m_pFrame->ShownLogView()->document().GetSize() == 0; }, 3000));
    Block(3, "after", 5);
    EXPECT_TRUE(PumpUntil(
        [&] { return Text(*m_pFrame->ShownLogView()).find("61 66 74 65 72") != std::string::npos; },
        3000));
    Act(ID_VIEW_HEX_DUMP).trigger();  // off: not remembered into the next test
}

}  // namespace

namespace {

// A hex dump opened over a log scrolled right and up starts at column 0 at the place the
// log showed; following new traffic, it shows the ends of lines only when they do not fit.
TEST_F(LogPresentationTest, AHexDumpOpensAtColumnZeroWhereTheLogWas) {
    OpenFrameWithRealLog();
    m_pFrame->resize(900, 600);
    StartSession(1);
    for (int n = 0; n < 400; ++n) {
        Block(1, std::string(300, static_cast<char>('a' + n % 26)), 1000 + n);
    }
    CLogView* pLogView = m_pFrame->ShownLogView();
    ASSERT_TRUE(PumpUntil([&] { return pLogView->document().GetLineCount() > 400; }));
    // Follow off, the log scrolled to the middle and to the right.
    Act(ID_VIEW_FOLLOW).trigger();
    ASSERT_FALSE(Act(ID_VIEW_FOLLOW).isChecked());
    pLogView->scrollToLine(200);
    // The width of the lines is learnt as they are painted.
    ASSERT_TRUE(PumpUntil([&] { return pLogView->horizontalScrollBar()->maximum() > 0; }));
    pLogView->horizontalScrollBar()->setValue(pLogView->horizontalScrollBar()->maximum());
    ASSERT_TRUE(PumpUntil([&] { return pLogView->firstVisibleColumn() > 0; }));

    ChooseFromViewMenu(Qt::Key_H);
    CLogView* pHex = m_pFrame->ShownLogView();
    ASSERT_NE(pLogView, pHex);
    ASSERT_TRUE(PumpUntil([&] { return pHex->firstVisibleLine() > 0; }, 5000));
    EXPECT_EQ(0u, pHex->firstVisibleColumn());
    // The hex view's top is a block of the part of the log that was on screen, not its end.
    EXPECT_LT(pHex->firstVisibleLine(), pHex->document().GetLineCount() / 2 + 400);
    EXPECT_GT(pHex->firstVisibleLine(), pHex->document().GetLineCount() / 4);

    // Following again: the view goes to the end, still at column 0 (hex lines fit).
    Act(ID_VIEW_FOLLOW).trigger();
    Block(1, "more", 5000);
    ASSERT_TRUE(PumpUntil([&] {
        return pHex->firstVisibleLine() + static_cast<std::uint64_t>(pHex->visibleLineCount()) >=
               pHex->document().GetLineCount();
    }));
    EXPECT_EQ(0u, pHex->firstVisibleColumn());
}

}  // namespace
