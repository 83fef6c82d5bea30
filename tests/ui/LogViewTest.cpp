// The log view on real widgets: following new traffic, selection by keys and mouse,
// Copy and Select All, read-only, scrolling, bold painting.
#include "ui/LogGlyphCache.h"
#include "ui/LogView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"

namespace {

class LogViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window.resize(640, 400);
        auto* pLayout = new QVBoxLayout(&m_window);
        m_pEdit = new QLineEdit(QStringLiteral("port 8080"), &m_window);
        m_pView = new CLogView(m_doc, &m_window);
        pLayout->addWidget(m_pEdit);
        pLayout->addWidget(m_pView);
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
        m_pView->setFocus();
        QApplication::processEvents();
    }

    void AppendLines(int nFirst, int nCount) {
        for (int i = nFirst; i < nFirst + nCount; ++i) {
            m_doc.AppendUtf8("line " + std::to_string(i) + "\n", LOG_STYLE_PLAIN);
        }
        m_pView->refresh();
    }

    // The point of a column of a visible line.
    QPoint PointAt(std::uint64_t nRow, std::uint64_t nColumn) const {
        const QFontMetrics fm = m_pView->fontMetrics();
        return QPoint(static_cast<int>(nColumn) * fm.horizontalAdvance(QLatin1Char('M')) + 1,
                      static_cast<int>(nRow) * fm.height() + fm.height() / 2);
    }

    CTempFolder m_dir;
    CLogDocument m_doc{m_dir.Path()};
    QWidget m_window;
    QLineEdit* m_pEdit = nullptr;
    CLogView* m_pView = nullptr;
};

TEST_F(LogViewTest, FollowingMovesToTheEndAndClearsTheSelection) {
    AppendLines(0, 200);
    ASSERT_TRUE(m_pView->follow());
    EXPECT_EQ(m_pView->caretPosition().nLine, 200u);  // the empty line after the last break
    m_pView->setCaretPosition({10, 0});
    m_pView->setCaretPosition({10, 4}, true);
    ASSERT_TRUE(m_pView->hasSelection());
    QSignalSpy spy(m_pView, &CLogView::selectionChanged);
    AppendLines(200, 5);
    EXPECT_FALSE(m_pView->hasSelection());
    EXPECT_EQ(m_pView->caretPosition().nLine, 205u);
    EXPECT_EQ(m_pView->firstVisibleLine() + static_cast<std::uint64_t>(m_pView->visibleLineCount()),
              206u);
    EXPECT_GE(spy.count(), 1);
}

TEST_F(LogViewTest, WithoutFollowingNewTextLeavesSelectionAndScrollAlone) {
    m_pView->setFollow(false);
    AppendLines(0, 200);
    m_pView->scrollToLine(50);
    m_pView->setCaretPosition({60, 1});
    m_pView->setCaretPosition({61, 3}, true);
    const std::uint64_t nTop = m_pView->firstVisibleLine();
    AppendLines(200, 100);
    EXPECT_TRUE(m_pView->hasSelection());
    EXPECT_EQ(m_pView->anchorPosition().nLine, 60u);
    EXPECT_EQ(m_pView->caretPosition().nByte, 3u);
    EXPECT_EQ(m_pView->firstVisibleLine(), nTop);
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("ine 60\nlin"));
    // The scroll range grew with the text.
    EXPECT_GE(m_pView->verticalScrollBar()->maximum(), 300 - m_pView->visibleLineCount());
}

TEST_F(LogViewTest, TypingChangesNothing) {
    AppendLines(0, 3);
    const std::uint64_t nSize = m_doc.GetSize();
    QTest::keyClicks(m_pView, "typed text");
    QTest::keyClick(m_pView, Qt::Key_Backspace);
    QTest::keyClick(m_pView, Qt::Key_Delete);
    QTest::keyClick(m_pView, Qt::Key_Return);
    m_pView->refresh();
    EXPECT_EQ(m_doc.GetSize(), nSize);
    EXPECT_FALSE(m_doc.GetSize() == 0);
}

TEST_F(LogViewTest, SelectAllAndCopyWithTheFocusOnTheView) {
    m_doc.AppendUtf8("first\r\nsecond\rthird", LOG_STYLE_PLAIN);
    m_pView->refresh();
    QTest::keyClick(m_pView, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(m_pView->hasSelection());
    QApplication::clipboard()->clear();
    QTest::keyClick(m_pView, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("first\nsecond\nthird"));
}

TEST_F(LogViewTest, CopyWithTheFocusElsewhereCopiesFromThere) {
    m_doc.AppendUtf8("log text", LOG_STYLE_PLAIN);
    m_pView->refresh();
    m_pView->selectAll();
    m_pEdit->setFocus();
    m_pEdit->selectAll();
    QApplication::processEvents();
    QTest::keyClick(m_pEdit, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("port 8080"));
    // Select All there selects the field's text, not the log's.
    m_pView->clearSelection();
    QTest::keyClick(m_pEdit, Qt::Key_A, Qt::ControlModifier);
    EXPECT_FALSE(m_pView->hasSelection());
}

TEST_F(LogViewTest, ShiftArrowsPagesAndCtrlHomeEnd) {
    m_pView->setFollow(false);
    AppendLines(0, 100);
    QTest::keyClick(m_pView, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{0, 0}));
    QTest::keyClick(m_pView, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(m_pView, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(m_pView, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("line 0\nli"));
    QTest::keyClick(m_pView, Qt::Key_Right);  // no Shift: the selection goes
    EXPECT_FALSE(m_pView->hasSelection());
    QTest::keyClick(m_pView, Qt::Key_End);
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{1, 6}));
    QTest::keyClick(m_pView, Qt::Key_Right);  // over the break to the next line
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{2, 0}));
    QTest::keyClick(m_pView, Qt::Key_Left);
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{1, 6}));
    const std::uint64_t nPage = static_cast<std::uint64_t>(m_pView->visibleLineCount() - 1);
    QTest::keyClick(m_pView, Qt::Key_PageDown);
    EXPECT_EQ(m_pView->caretPosition().nLine, 1 + nPage);
    QTest::keyClick(m_pView, Qt::Key_PageUp, Qt::ShiftModifier);
    EXPECT_EQ(m_pView->caretPosition().nLine, 1u);
    EXPECT_TRUE(m_pView->hasSelection());
    QTest::keyClick(m_pView, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{100, 0}));
    EXPECT_GT(m_pView->firstVisibleLine(), 50u);
}

TEST_F(LogViewTest, ClickDragShiftClickAndDoubleClick) {
    m_pView->setFollow(false);
    m_doc.AppendUtf8("alpha beta\tgamma\nsecond line here\n", LOG_STYLE_PLAIN);
    m_pView->refresh();
    QWidget* pPort = m_pView->viewport();
    QTest::mouseClick(pPort, Qt::LeftButton, {}, PointAt(0, 2));
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{0, 2}));
    EXPECT_FALSE(m_pView->hasSelection());
    QTest::mouseClick(pPort, Qt::LeftButton, Qt::ShiftModifier, PointAt(1, 6));
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("pha beta\tgamma\nsecond"));
    // A drag from "beta" into the tab's far half ends after the tab.
    QTest::mousePress(pPort, Qt::LeftButton, {}, PointAt(0, 6));
    QMouseEvent move(QEvent::MouseMove, PointAt(0, 15), pPort->mapToGlobal(PointAt(0, 15)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pPort, &move);
    QTest::mouseRelease(pPort, Qt::LeftButton, {}, PointAt(0, 15));
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("beta\t"));
    QTest::mouseDClick(pPort, Qt::LeftButton, {}, PointAt(0, 17));
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("gamma"));
    QTest::mouseDClick(pPort, Qt::LeftButton, {}, PointAt(1, 8));
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("line"));
}

TEST_F(LogViewTest, ScrollsToTheMiddleOfManyLinesAtOnce) {
    m_pView->setFollow(false);
    const std::string block(1000000, '\n');
    for (int i = 0; i < 5; ++i) {
        m_doc.AppendUtf8(block, LOG_STYLE_PLAIN);
    }
    m_pView->refresh();
    QScrollBar* pBar = m_pView->verticalScrollBar();
    QElapsedTimer timer;
    timer.start();
    pBar->setValue(pBar->maximum() / 2);
    m_pView->viewport()->repaint();
    EXPECT_LT(timer.elapsed(), 200);
    EXPECT_NEAR(static_cast<double>(m_pView->firstVisibleLine()), 2500000.0, 100.0);
}

TEST_F(LogViewTest, AVeryLongLineScrollsSidewaysAndPaintsOnlyWhatShows) {
    m_pView->setFollow(false);
    std::string line;
    for (int i = 0; i < 200000; ++i) {
        line += "0123456789";
    }
    m_doc.AppendUtf8(line + "\nshort\n", LOG_STYLE_PLAIN);
    m_pView->refresh();
    m_pView->viewport()->repaint();
    QApplication::processEvents();
    QScrollBar* pBar = m_pView->horizontalScrollBar();
    EXPECT_GE(pBar->maximum(), 1900000);
    QElapsedTimer timer;
    timer.start();
    pBar->setValue(1000003);
    m_pView->viewport()->repaint();
    EXPECT_LT(timer.elapsed(), 100);
    QTest::mouseClick(m_pView->viewport(), Qt::LeftButton, {}, PointAt(0, 0));
    EXPECT_EQ(m_pView->caretPosition(), (CLogView::CTextPos{0, 1000003}));
    QTest::keyClick(m_pView, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(m_pView->selectedText(), QStringLiteral("3"));
}

// Bold text covers more pixels than the same text plain.
TEST_F(LogViewTest, BoldRunsPaintBold) {
    m_pView->setFollow(false);
    m_doc.AppendLog(L"MMMMMMMMMMMMMMMM\n", LOG_STYLE_BOLD);
    m_doc.AppendLog(L"MMMMMMMMMMMMMMMM\n", LOG_STYLE_PLAIN);
    m_pView->refresh();
    m_pView->clearFocus();
    const QImage image = m_pView->viewport()->grab().toImage();
    const int nHeight = m_pView->fontMetrics().height();
    auto dark = [&](int nRow) {
        int n = 0;
        for (int y = nRow * nHeight; y < (nRow + 1) * nHeight; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                n += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
            }
        }
        return n;
    };
    EXPECT_GT(dark(1), 0);
    EXPECT_GT(dark(0), dark(1));
}

}  // namespace

namespace {

// The pixels of columns [nFrom, nTo) of a row of the view's image.
QImage Cells(const QImage& image, const QFontMetrics& fm, int nRow, int nFrom, int nTo) {
    const int nWidth = fm.horizontalAdvance(QLatin1Char('M'));
    return image.copy(nFrom * nWidth, nRow * fm.height(), (nTo - nFrom) * nWidth, fm.height());
}

int DarkPixels(const QImage& image) {
    int nDark = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            nDark += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
        }
    }
    return nDark;
}

// The view's image once every character met has been looked up and painted.
QImage PaintedWithEveryGlyph(CLogView& view) {
    view.refresh();
    view.viewport()->repaint();
    for (int i = 0; i < 1000 && view.glyphsPending(); ++i) {
        QApplication::processEvents();
    }
    EXPECT_FALSE(view.glyphsPending());
    return view.viewport()->grab().toImage();
}

// Each character is drawn in its own column: text of another direction, a direction
// override, a combining mark or a character from a fallback font moves nothing after it
// (the columns are what clicks, the caret and the selection go by).
TEST_F(LogViewTest, EveryCharacterKeepsItsColumnWhateverItsScript) {
    m_pView->setFollow(false);
    m_pView->clearFocus();
    m_doc.AppendUtf8("ab cdefgh\n", LOG_STYLE_PLAIN);
    m_doc.AppendUtf8("ab\u202Ecdefgh\n", LOG_STYLE_PLAIN);     // right-to-left override
    m_doc.AppendUtf8("ab\u05D0cdefgh\n", LOG_STYLE_PLAIN);     // a Hebrew letter
    m_doc.AppendUtf8("ab\u0301cdefgh\n", LOG_STYLE_PLAIN);     // a combining accent
    m_doc.AppendUtf8("ab\u0628\u0628defgh", LOG_STYLE_PLAIN);  // two joining Arabic letters
    const QImage image = PaintedWithEveryGlyph(*m_pView);
    const QFontMetrics fm = m_pView->fontMetrics();
    const QImage expected = Cells(image, fm, 0, 5, 9);  // "efgh"
    ASSERT_GT(DarkPixels(expected), 0);
    for (int nRow = 1; nRow <= 4; ++nRow) {
        EXPECT_TRUE(Cells(image, fm, nRow, 5, 9) == expected) << nRow;
    }
}

// A character that no installed font has (a private-use one of the last plane) still
// shows in its column (as the fallback's box): a byte must never look like a space.
TEST_F(LogViewTest, ACharacterNoFontHasIsDrawnAsABox) {
    m_pView->setFollow(false);
    m_pView->clearFocus();
    m_doc.AppendUtf8("a\U0010FFFDb \n", LOG_STYLE_PLAIN);
    const QImage image = PaintedWithEveryGlyph(*m_pView);
    const QFontMetrics fm = m_pView->fontMetrics();
    const QImage space = Cells(image, fm, 0, 3, 4);
    EXPECT_EQ(0, DarkPixels(space));
    EXPECT_FALSE(Cells(image, fm, 0, 1, 2) == space);
}

// A character whose glyph is wider than a column (a long arrow from a proportional
// fallback font; an ideograph where such a font is installed) is narrowed to its own
// column instead of covering the next ones.
TEST_F(LogViewTest, AGlyphWiderThanAColumnStaysInItsColumn) {
    const QFontMetrics fm = m_pView->fontMetrics();
    CLogGlyphCache cache;
    cache.setFont(m_pView->font(), fm.horizontalAdvance(QLatin1Char('M')));
    char32_t cpWide = 0;
    for (const char32_t cp : {U'\u27F9', U'\u2A0C', U'\u27FA', U'\u4E00'}) {
        if (cache.resolve(cp, CLogGlyphCache::Plain).fScale < 0.8f) {
            cpWide = cp;
            break;
        }
    }
    if (cpWide == 0) {
        GTEST_SKIP() << "no installed font draws any of the characters wider than a column";
    }
    m_pView->setFollow(false);
    m_pView->clearFocus();
    m_doc.AppendUtf8("x" + QString::fromUcs4(&cpWide, 1).toStdString() + "   x\n", LOG_STYLE_PLAIN);
    const QImage image = PaintedWithEveryGlyph(*m_pView);
    const QImage empty = Cells(image, fm, 1, 2, 5);  // the row below holds nothing
    EXPECT_FALSE(Cells(image, fm, 0, 1, 2) == Cells(image, fm, 1, 1, 2));
    EXPECT_TRUE(Cells(image, fm, 0, 2, 5) == empty);
}

// A paint that has no time to find the fonts of new characters leaves their columns
// empty and queues a look-up and a paint, which complete the screen.
TEST_F(LogViewTest, CharactersLeftOutOfAPaintArePaintedAfterTheirLookUp) {
    m_pView->setFollow(false);
    m_pView->clearFocus();
    AppendLines(0, 5);
    m_doc.AppendUtf8("\xce\xb1\xce\xb2\xce\xb3 \xd0\x96 \xe2\x82\xac\n", LOG_STYLE_BOLD);
    m_pView->refresh();
    CLogView reference(m_doc);
    reference.setFollow(false);
    reference.resize(m_pView->size());
    reference.refresh();
    const QImage expected = reference.viewport()->grab().toImage();

    m_pView->setGlyphLookupBudget(0);
    m_pView->viewport()->repaint();
    EXPECT_TRUE(m_pView->glyphsPending());
    EXPECT_FALSE(m_pView->viewport()->grab().toImage() == expected);
    int nTurns = 0;
    for (; nTurns < 1000 && m_pView->glyphsPending(); ++nTurns) {
        QApplication::processEvents();
    }
    EXPECT_GT(nTurns, 1);  // one character per look-up with no time to spare
    ASSERT_FALSE(m_pView->glyphsPending());
    EXPECT_TRUE(m_pView->viewport()->grab().toImage() == expected);
}

}  // namespace
