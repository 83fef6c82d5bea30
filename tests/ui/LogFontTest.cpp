// The log's font in the real window: zoom with Ctrl++, Ctrl+- and Ctrl+0 from the log
// view, View > Font... with its dialog, both remembered; the hex dump takes the same font.
#include <QFontDatabase>
#include <QFontDialog>
#include <QTimer>
#include <QWheelEvent>

#include "MainFrameFixture.h"
#include "ui/LogView.h"

namespace {

using test::PumpUntil;

class LogFontTest : public test::MainFrameFixture {
protected:
    CLogView& View() { return *m_pFrame->ShownLogView(); }
    bool FocusOnView() {
        QApplication::setActiveWindow(m_pFrame.get());
        View().setFocus();
        return PumpUntil([&] { return View().hasFocus(); }, 2000);
    }
    void Key(int nKey) {
        QTest::keyClick(&View(), static_cast<Qt::Key>(nKey), Qt::ControlModifier);
    }
};

TEST_F(LogFontTest, ZoomKeysChangeTheSizeWithinLimitsAndItIsRemembered) {
    OpenFrameWithRealLog();
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    EXPECT_EQ(fixed.family(), View().font().family());
    const double dBase = View().font().pointSizeF();
    EXPECT_DOUBLE_EQ(fixed.pointSizeF(), dBase);
    ASSERT_TRUE(FocusOnView());
    const int nHeight = View().fontMetrics().height();

    Key(Qt::Key_Plus);
    Key(Qt::Key_Plus);
    EXPECT_DOUBLE_EQ(dBase + 2, View().font().pointSizeF());
    EXPECT_GT(View().fontMetrics().height(), nHeight);  // the lines follow the font
    Key(Qt::Key_Minus);
    EXPECT_DOUBLE_EQ(dBase + 1, View().font().pointSizeF());

    // The hex dump opens in the zoomed font.
    Act(ID_VIEW_HEX_DUMP).trigger();
    EXPECT_DOUBLE_EQ(dBase + 1, View().font().pointSizeF());
    Act(ID_VIEW_HEX_DUMP).trigger();

    CloseForGood();
    OpenFrameWithRealLog();
    EXPECT_DOUBLE_EQ(dBase + 1, View().font().pointSizeF());
    ASSERT_TRUE(FocusOnView());
    Key(Qt::Key_0);
    EXPECT_DOUBLE_EQ(dBase, View().font().pointSizeF());
    EXPECT_FALSE(Act(ID_VIEW_ZOOM_RESET).isEnabled());
    // Far out and in: the size stops at 6 and at 72 points.
    for (int i = 0; i < 100; ++i) {
        Key(Qt::Key_Minus);
    }
    EXPECT_DOUBLE_EQ(6.0, View().font().pointSizeF());
    for (int i = 0; i < 100; ++i) {
        Act(ID_VIEW_ZOOM_IN).trigger();
    }
    EXPECT_DOUBLE_EQ(72.0, View().font().pointSizeF());
    // One step back in is one point, not the steps pressed beyond the limit.
    Key(Qt::Key_Minus);
    EXPECT_DOUBLE_EQ(71.0, View().font().pointSizeF());
}

TEST_F(LogFontTest, CtrlWithTheWheelZoomsByWholeNotchesAndPlainWheelScrolls) {
    OpenFrameWithRealLog();
    const double dBase = View().font().pointSizeF();
    const auto wheel = [&](int nDelta, Qt::KeyboardModifiers modifiers) {
        QWidget* pViewport = View().viewport();
        const QPointF at(10, 10);
        QWheelEvent event(at, pViewport->mapToGlobal(at), QPoint(), QPoint(0, nDelta), Qt::NoButton,
                          modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(pViewport, &event);
    };
    wheel(120, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(dBase + 1, View().font().pointSizeF());
    // A touchpad's small parts add up to one notch.
    wheel(60, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(dBase + 1, View().font().pointSizeF());
    wheel(60, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(dBase + 2, View().font().pointSizeF());
    wheel(-360, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(dBase - 1, View().font().pointSizeF());
    // Without Ctrl the wheel leaves the size alone.
    wheel(-120, Qt::NoModifier);
    EXPECT_DOUBLE_EQ(dBase - 1, View().font().pointSizeF());
}

TEST_F(LogFontTest, TheFontDialogOffersFixedWidthFontsAndItsChoiceIsKept) {
    OpenFrameWithRealLog();
    Act(ID_VIEW_ZOOM_IN).trigger();
    // A fixed-width family that the machine has, by its real name.
    QFont chosen(QFontInfo(View().font()).family());
    for (const QString& strFamily : QFontDatabase::families()) {
        if (QFontDatabase::isFixedPitch(strFamily) && strFamily != chosen.family()) {
            chosen = QFont(strFamily);
            break;
        }
    }
    chosen.setPointSizeF(15);
    bool bSeen = false;
    bool bMonospacedOnly = false;
    QTimer::singleShot(200, [&] {
        auto* pDialog = qobject_cast<QFontDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr) {
            return;
        }
        bSeen = true;
        bMonospacedOnly = pDialog->testOption(QFontDialog::MonospacedFonts);
        pDialog->setCurrentFont(chosen);
        pDialog->accept();
    });
    Act(ID_VIEW_FONT).trigger();
    ASSERT_TRUE(bSeen);
    EXPECT_TRUE(bMonospacedOnly);
    // The chosen size, without the zoom from before.
    EXPECT_DOUBLE_EQ(15.0, View().font().pointSizeF());
    CloseForGood();
    OpenFrameWithRealLog();
    EXPECT_DOUBLE_EQ(15.0, View().font().pointSizeF());
    EXPECT_EQ(chosen.family(), View().font().family());
}

}  // namespace
