// Tools > Network Conditions: the dialog driven with keys and the mouse, what it stores,
// what it puts in force, and the status bar's word on it.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>

#include "MainFrameFixture.h"
#include "capture/NetConditionsParser.h"
#include "ui/NetConditionsDialog.h"

namespace {

class NetConditionsDialogTest : public test::MainFrameFixture {
protected:
    void TearDown() override {
        SetActiveNetConditions(CNetConditions());
        MainFrameFixture::TearDown();
    }
    // Replaces a spin box's value by typing, as a user does.
    static void Type(QSpinBox* pSpin, const QString& strText) {
        pSpin->setFocus();
        pSpin->selectAll();
        QTest::keyClicks(pSpin, strText);
        QTest::keyClick(pSpin, Qt::Key_Tab);
    }
};

TEST_F(NetConditionsDialogTest, OffByDefaultAndNothingInForce) {
    CNetConditionsDialog dialog;
    EXPECT_FALSE(dialog.OnBox()->isChecked());
    EXPECT_EQ(0, dialog.PresetBox()->currentIndex());
    EXPECT_EQ(QStringLiteral("none"), dialog.Up().pLatency->text());
    EXPECT_FALSE(dialog.Current().conditions.IsActive());
    EXPECT_FALSE(ActiveNetConditions());
}

TEST_F(NetConditionsDialogTest, FieldsTypedPerDirectionAreStoredAndPutInForce) {
    {
        CNetConditionsDialog dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        QTest::mouseClick(dialog.OnBox(), Qt::LeftButton);
        EXPECT_TRUE(dialog.OnBox()->isChecked());
        Type(dialog.Up().pLatency, QStringLiteral("200"));
        Type(dialog.Down().pBandwidth, QStringLiteral("500"));
        Type(dialog.Down().pCutAfter, QStringLiteral("65536"));
        EXPECT_TRUE(dialog.Down().pCutMode->isEnabled());
        EXPECT_FALSE(dialog.Up().pCutMode->isEnabled()) << "no cut there: no way to cut";
        dialog.Down().pCutMode->setFocus();
        QTest::keyClick(dialog.Down().pCutMode, Qt::Key_Down);  // reset
        EXPECT_EQ(QStringLiteral("New sessions: latency 200 ms up, 500 KB/s down, cut after "
                                 "65536 B (reset) down"),
                  dialog.SummaryLabel()->text());
        QTest::mouseClick(dialog.Buttons()->button(QDialogButtonBox::Ok), Qt::LeftButton);
        EXPECT_EQ(QDialog::Accepted, dialog.result());
    }
    const CStoredNetConditions stored = LoadNetConditions();
    EXPECT_TRUE(stored.bOn);
    EXPECT_EQ("", stored.strPreset);
    EXPECT_EQ("--latency up:200 --bandwidth down:500 --cut-after down:65536:reset",
              FormatNetConditionArgs(stored.conditions));
    ASSERT_TRUE(ActiveNetConditions());
    EXPECT_EQ(stored.conditions, *ActiveNetConditions());

    // Shown again as stored; switched off, they stay stored but leave force.
    CNetConditionsDialog again;
    EXPECT_EQ(200, again.Up().pLatency->value());
    EXPECT_TRUE(again.Down().pCutMode->currentIndex() == 1);
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&again));
    again.OnBox()->setFocus();
    QTest::keyClick(again.OnBox(), Qt::Key_Space);
    EXPECT_TRUE(again.SummaryLabel()->text().startsWith("Off (when on: latency 200 ms up"));
    QTest::keyClick(&again, Qt::Key_Return);  // OK is the default button
    EXPECT_EQ(QDialog::Accepted, again.result());
    EXPECT_FALSE(ActiveNetConditions());
    EXPECT_FALSE(LoadNetConditions().bOn);
    EXPECT_EQ(stored.conditions, LoadNetConditions().conditions);
}

TEST_F(NetConditionsDialogTest, APresetFillsTheFieldsAndAnEditMakesItCustom) {
    CNetConditionsDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QComboBox* pPreset = dialog.PresetBox();
    pPreset->setFocus();
    QTest::keyClick(pPreset, Qt::Key_Down);  // the first preset: "Mobile 3G"
    ASSERT_EQ(QStringLiteral("Mobile 3G"), pPreset->currentText());
    EXPECT_TRUE(dialog.OnBox()->isChecked()) << "choosing a preset switches them on";
    EXPECT_EQ(75, dialog.Up().pLatency->value());
    EXPECT_EQ(10, dialog.Down().pJitter->value());
    EXPECT_EQ(96, dialog.Up().pBandwidth->value());
    EXPECT_EQ(200, dialog.Down().pBandwidth->value());
    EXPECT_EQ(FindNetConditionsPreset("Mobile 3G")->conditions, dialog.Current().conditions);
    EXPECT_EQ("Mobile 3G", dialog.Current().strPreset);

    // Every preset is valid and does something.
    for (const CNetConditionsPreset& preset : NetConditionsPresets()) {
        EXPECT_TRUE(preset.conditions.IsActive()) << preset.strName;
        EXPECT_GE(pPreset->findText(QString::fromStdString(preset.strName)), 1);
    }

    // A changed value is no longer the preset.
    Type(dialog.Down().pBandwidth, QStringLiteral("300"));
    EXPECT_EQ(0, pPreset->currentIndex());
    EXPECT_EQ("", dialog.Current().strPreset);
    EXPECT_EQ(300, dialog.Current().conditions.down.nBandwidthKBps);
    QTest::mouseClick(dialog.Buttons()->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_FALSE(LoadNetConditions().bOn) << "Cancel stores nothing";
    EXPECT_FALSE(ActiveNetConditions());
}

TEST_F(NetConditionsDialogTest, TheToolsMenuOpensItAndTheStatusBarShowsConditionsOn) {
    CMainFrame& frame = OpenFrame();
    QAction& action = Act(ID_TOOLS_NET_CONDITIONS);
    EXPECT_EQ(QStringLiteral("&Network Conditions..."), action.text());
    auto* pPane = frame.statusBar()->findChild<QLabel*>(QStringLiteral("statusConditions"));
    ASSERT_NE(nullptr, pPane);
    EXPECT_FALSE(pPane->isVisible());
    bool bShown = false;
    QTimer::singleShot(0, [&] {
        auto* pDialog = qobject_cast<CNetConditionsDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr) {
            return;
        }
        bShown = true;
        pDialog->PresetBox()->setFocus();
        QTest::keyClick(pDialog->PresetBox(), Qt::Key_Down);
        QTest::keyClick(pDialog->PresetBox(), Qt::Key_Down);  // "Mobile EDGE"
        pDialog->accept();
    });
    action.trigger();
    ASSERT_TRUE(bShown);
    EXPECT_TRUE(pPane->isVisible());
    EXPECT_EQ(QStringLiteral("Network conditions on"), pPane->text());
    EXPECT_TRUE(pPane->toolTip().startsWith("latency 200 ms"));
    ASSERT_TRUE(ActiveNetConditions());
    EXPECT_EQ(30, ActiveNetConditions()->down.nBandwidthKBps);
}

}  // namespace
