// The TLS parts of the window: the options' TLS page driven with keys and stored, and the
// certificate authority dialog showing, exporting and renewing an authority of the test's
// own folder.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>

#include <sys/stat.h>

#include "MainFrameFixture.h"
#include "TempFolder.h"
#include "ui/CertAuthorityDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/OptionsPageTls.h"

namespace {

using test::PumpUntil;

class TlsWindowTest : public test::MainFrameFixture {};

TEST_F(TlsWindowTest, TheTlsPageStoresWhatIsChosenWithTheKeyboard) {
    {
        COptionsDialog dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        ASSERT_EQ(2, dialog.Tabs()->count());
        EXPECT_EQ(QStringLiteral("TLS"), dialog.Tabs()->tabText(1));
        dialog.Tabs()->setCurrentIndex(1);
        CPageOptionsTls& page = *dialog.TlsPage();
        // The defaults: auto both ways, certificates checked, no pass-through, no key log.
        EXPECT_EQ(0, page.ServerTlsBox()->currentIndex());
        EXPECT_EQ(0, page.ClientTlsBox()->currentIndex());
        EXPECT_FALSE(page.AcceptAnyBox()->isChecked());
        EXPECT_TRUE(page.PassthroughField()->toPlainText().isEmpty());

        page.ServerTlsBox()->setFocus();
        QTest::keyClick(page.ServerTlsBox(), Qt::Key_Down);  // "On"
        EXPECT_EQ(1, page.ServerTlsBox()->currentIndex());
        page.AcceptAnyBox()->setFocus();
        QTest::keyClick(page.AcceptAnyBox(), Qt::Key_Space);
        page.ClientTlsBox()->setFocus();
        QTest::keyClick(page.ClientTlsBox(), Qt::Key_Down);  // "Off"
        page.PassthroughField()->setFocus();
        QTest::keyClicks(page.PassthroughField(), QStringLiteral("*.bank.example"));
        QTest::keyClick(page.PassthroughField(), Qt::Key_Return);
        QTest::keyClicks(page.PassthroughField(), QStringLiteral("pinned.example"));
        page.KeyLogField()->setFocus();
        QTest::keyClicks(page.KeyLogField(), QStringLiteral("/tmp/keys.log"));
        // F1 on a TLS control shows its own text.
        EXPECT_TRUE(dialog.HelpTextFor(page.AcceptAnyBox()).contains("self-signed"));
        dialog.Buttons()->button(QDialogButtonBox::Ok)->click();
    }
    CRegKeyTalvex settings;
    EXPECT_EQ(1u, settings.GetServerTls());
    EXPECT_EQ(1u, settings.GetClientTls());
    EXPECT_TRUE(settings.GetAcceptAnyServerCert());
    EXPECT_EQ(L"*.bank.example\npinned.example", settings.GetTlsPassthrough());
    EXPECT_EQ(L"/tmp/keys.log", settings.GetKeyLogFile());

    // The next dialog shows what was stored; Cancel changes nothing.
    COptionsDialog again;
    CPageOptionsTls& page = *again.TlsPage();
    EXPECT_EQ(1, page.ServerTlsBox()->currentIndex());
    EXPECT_TRUE(page.AcceptAnyBox()->isChecked());
    page.ServerTlsBox()->setCurrentIndex(2);
    again.reject();
    EXPECT_EQ(1u, CRegKeyTalvex().GetServerTls());
}

TEST_F(TlsWindowTest, TheAuthorityIsShownExportedAndRenewed) {
    CTempFolder folder;
    const QString strCaFolder = QString::fromStdString(folder.Path("ca"));
    CCertAuthorityDialog dialog(nullptr, strCaFolder);
    EXPECT_TRUE(dialog.NameLabel()->text().startsWith("Tapvane Local CA ("))
        << dialog.NameLabel()->text().toStdString();
    const QString strPrint = dialog.FingerprintLabel()->text();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^([0-9A-F]{2}:){31}[0-9A-F]{2}$"))
                    .match(strPrint)
                    .hasMatch())
        << strPrint.toStdString();
    EXPECT_TRUE(dialog.FileLabel()->text().startsWith(strCaFolder));
    // The key is its owner's only.
    struct stat st {};
    ASSERT_EQ(0, ::stat((folder.Path("ca") + "/tapvane-ca.key").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // Exports: the certificate only, as PEM and as DER.
    std::vector<QString> asked;
    QString strTarget;
    dialog.SetSaveDialog(
        [&](QWidget*, const QString& strCaption, const QString& strPath, const QString&) {
            asked.push_back(strCaption + "|" + strPath);
            return strTarget;
        });
    strTarget = QString::fromStdString(folder.Path("ca.pem"));
    ASSERT_TRUE(dialog.ExportPem());
    const std::string pem = folder.ReadFile("ca.pem");
    EXPECT_EQ(0u, pem.find("-----BEGIN CERTIFICATE-----"));
    EXPECT_EQ(std::string::npos, pem.find("PRIVATE KEY"));
    strTarget = QString::fromStdString(folder.Path("ca.der"));
    ASSERT_TRUE(dialog.ExportDer());
    const std::string der = folder.ReadFile("ca.der");
    ASSERT_FALSE(der.empty());
    EXPECT_EQ('\x30', der[0]);  // a DER SEQUENCE
    ASSERT_EQ(2u, asked.size());
    EXPECT_TRUE(asked[0].endsWith("tapvane-ca.pem"));
    strTarget.clear();
    EXPECT_FALSE(dialog.ExportPem());  // cancelled

    // A second dialog shows the same authority; a new one is made only when confirmed.
    CCertAuthorityDialog same(nullptr, strCaFolder);
    EXPECT_EQ(strPrint, same.FingerprintLabel()->text());
    same.SetConfirm([](QWidget*, const QString&) { return false; });
    EXPECT_FALSE(same.MakeNew());
    EXPECT_EQ(strPrint, same.FingerprintLabel()->text());
    same.SetConfirm([](QWidget*, const QString& strText) { return strText.contains("trust"); });
    EXPECT_TRUE(same.MakeNew());
    EXPECT_NE(strPrint, same.FingerprintLabel()->text());
    EXPECT_EQ(same.FingerprintLabel()->text(),
              CCertAuthorityDialog(nullptr, strCaFolder).FingerprintLabel()->text());
}

TEST_F(TlsWindowTest, AKeyOthersCanReadIsRefusedAndSaid) {
    CTempFolder folder;
    const QString strCaFolder = QString::fromStdString(folder.Path("ca"));
    { CCertAuthorityDialog made(nullptr, strCaFolder); }
    ASSERT_EQ(0, ::chmod((folder.Path("ca") + "/tapvane-ca.key").c_str(), 0644));
    CCertAuthorityDialog dialog(nullptr, strCaFolder);
    EXPECT_EQ(QStringLiteral("(none)"), dialog.NameLabel()->text());
    EXPECT_FALSE(dialog.FingerprintLabel()->text().isEmpty());
    EXPECT_FALSE(dialog.ExportPemButton()->isEnabled());
}

TEST_F(TlsWindowTest, ToolsMenuOpensTheAuthorityDialog) {
    OpenFrame();
    QAction& action = Act(ID_TOOLS_TLS_CA);
    EXPECT_EQ(QStringLiteral("TLS &Certificate Authority..."), action.text());
    CTempFolder data;
    ::setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
    bool bShown = false;
    QTimer::singleShot(0, [&] {
        auto* pDialog = qobject_cast<CCertAuthorityDialog*>(QApplication::activeModalWidget());
        if (pDialog != nullptr) {
            bShown = pDialog->NameLabel()->text().startsWith("Tapvane Local CA");
            pDialog->reject();
        }
    });
    action.trigger();
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_TRUE(bShown);
}

}  // namespace
