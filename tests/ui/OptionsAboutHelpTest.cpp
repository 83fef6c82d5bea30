// The options dialog, the About box, the problem report and the help pages: what they read
// and store, their texts, and the URLs they hand to the desktop (caught, not opened).
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QUrlQuery>

#include "BuildInfo.h"
#include "MainFrameFixture.h"
#include "platform/Registry.h"
#include "support/SystemDescription.h"
#include "ui/AboutDialog.h"
#include "ui/ExternalUrl.h"
#include "ui/HelpPages.h"
#include "ui/OptionsDialog.h"
#include "ui/OptionsPage.h"
#include "ui/ProblemReport.h"

namespace {

using test::MainFrameFixture;
using test::PumpUntil;

// The decoded value of a mailto field, as a mail program reads it.
QString MailField(const QUrl& url, const QString& strName) {
    return QUrlQuery(url).queryItemValue(strName, QUrl::FullyDecoded);
}

class DialogTest : public MainFrameFixture {
protected:
    void SetUp() override {
        MainFrameFixture::SetUp();
        RecordBoxes();
        SetUrlOpener([this](const QUrl& url) {
            m_urls.push_back(url);
            return true;
        });
        CHelpPages::SetFolderOverride(QStringLiteral(TAPVANE_HELP_SOURCE_DIR));
    }
    void TearDown() override {
        SetUrlOpener(nullptr);
        CHelpPages::SetFolderOverride({});
        CPageOptionsHtml::SetFolderChooser(nullptr);
        COptionsDialog::SetPopupHelp(nullptr);
        win::RegResetStoreConnections(false);
        MainFrameFixture::TearDown();
    }
    // Runs `fn` on the modal dialog of type T once it is open.
    template <class T, class F>
    void WhenOpen(F fn) {
        QTimer::singleShot(0, [fn] {
            for (QWidget* p : QApplication::topLevelWidgets()) {
                if (auto* pDialog = qobject_cast<T*>(p); pDialog && pDialog->isVisible()) {
                    fn(*pDialog);
                    return;
                }
            }
            ADD_FAILURE() << "the dialog is not open";
        });
    }
    std::vector<QUrl> m_urls;
};

TEST_F(DialogTest, OptionsLoadStoreAndCancel) {
    {
        CRegKeyTalvex settings;
        settings.SetReplaceHostHeader(true);
        settings.SetSaveResponse(false);
        settings.SetDataFolder(L"/srv/captures");
    }
    COptionsDialog dialog;
    CPageOptionsHtml& page = *dialog.Page();
    EXPECT_EQ(QStringLiteral("Tapvane Options"), dialog.windowTitle());
    ASSERT_EQ(2, dialog.Tabs()->count());
    EXPECT_EQ(QStringLiteral("General"), dialog.Tabs()->tabText(0));
    EXPECT_EQ(QStringLiteral("TLS"), dialog.Tabs()->tabText(1));
    QStringList labels;
    for (const QLabel* pLabel : page.findChildren<QLabel*>()) {
        labels << pLabel->text();
    }
    EXPECT_TRUE(labels.contains(QStringLiteral("Apply options below for HTTP protocol only.")))
        << labels.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(nullptr, dialog.Buttons()->button(QDialogButtonBox::Apply));
    EXPECT_NE(nullptr, dialog.Buttons()->button(QDialogButtonBox::Help));
    EXPECT_TRUE(page.ReplaceHostBox()->isChecked());
    EXPECT_FALSE(page.SaveResponseBox()->isChecked());
    EXPECT_EQ(QStringLiteral("/srv/captures"), page.FolderField()->text());
    // Saving off greys the folder controls; on enables both at once.
    EXPECT_FALSE(page.FolderField()->isEnabled());
    EXPECT_FALSE(page.BrowseButton()->isEnabled());
    page.SaveResponseBox()->click();
    EXPECT_TRUE(page.FolderField()->isEnabled());
    EXPECT_TRUE(page.BrowseButton()->isEnabled());

    // Cancel after changing all three keeps the stored values.
    page.ReplaceHostBox()->click();
    page.FolderField()->setText(QStringLiteral("/elsewhere"));
    dialog.reject();
    CRegKeyTalvex settings;
    EXPECT_TRUE(settings.GetReplaceHostHeader());
    EXPECT_FALSE(settings.GetSaveResponse());
    EXPECT_EQ(L"/srv/captures", settings.GetDataFolder());

    // OK stores them, an empty folder included.
    COptionsDialog again;
    EXPECT_TRUE(again.Page()->ReplaceHostBox()->isChecked());  // read afresh
    again.Page()->ReplaceHostBox()->click();
    again.Page()->SaveResponseBox()->click();
    again.Page()->FolderField()->clear();
    again.accept();
    EXPECT_EQ(QDialog::Accepted, again.result());
    EXPECT_FALSE(settings.GetReplaceHostHeader());
    EXPECT_TRUE(settings.GetSaveResponse());
    EXPECT_EQ(L"", settings.GetDataFolder());

    // Who may connect: all interfaces by default, this machine only once chosen, and an
    // address stored by tapvane-cli --bind shown as a third choice that OK keeps.
    COptionsDialog listen;
    QComboBox* pWhere = listen.Page()->ListenAddressBox();
    EXPECT_EQ(QStringLiteral("all"), pWhere->currentData().toString());
    EXPECT_EQ(2, pWhere->count());
    pWhere->setCurrentIndex(pWhere->findData(QStringLiteral("local")));
    listen.accept();
    EXPECT_EQ(L"local", settings.GetListenAddress());
    settings.SetListenAddress(L"[::1]");
    COptionsDialog address;
    EXPECT_EQ(3, address.Page()->ListenAddressBox()->count());
    EXPECT_EQ(QStringLiteral("::1"), address.Page()->ListenAddressBox()->currentData().toString());
    address.accept();
    EXPECT_EQ(L"::1", settings.GetListenAddress());
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(DialogTest, ARefusedWriteKeepsTheDialogOpenWithTheInput) {
    COptionsDialog dialog;
    dialog.show();
    dialog.Page()->FolderField()->setText(QStringLiteral("/typed/by/user"));
    m_nAnswer = IDNO;  // no mail
    win::RegResetStoreConnections(true);
    dialog.accept();
    win::RegResetStoreConnections(false);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(QStringLiteral("/typed/by/user"), dialog.Page()->FolderField()->text());
    const auto boxes = Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u,
              boxes[0].strText.find(L"ERROR: CPropertyOptions message map failed! FATAL ERROR: "));
    EXPECT_NE(
        std::wstring::npos,
        boxes[0].strText.find(L"\r\n\r\nDo you want to email me the report about your problem?"));
    EXPECT_EQ(MB_YESNO | MB_ICONERROR, boxes[0].nType);
    EXPECT_TRUE(m_urls.empty());
    // Once the store takes writes again, OK goes through.
    dialog.accept();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(L"/typed/by/user", CRegKeyTalvex().GetDataFolder());
}

TEST_F(DialogTest, BrowseStartsAtTheTypedFolderAndCancelKeepsIt) {
    COptionsDialog dialog;
    dialog.show();
    CPageOptionsHtml& page = *dialog.Page();
    page.SaveResponseBox()->setChecked(true);
    page.FolderField()->setText(QStringLiteral("/start/here"));
    QString strTitle;
    QString strStart;
    QString strAnswer;
    CPageOptionsHtml::SetFolderChooser([&](QWidget*, const QString& t, const QString& s) {
        strTitle = t;
        strStart = s;
        return strAnswer;
    });
    QTest::mouseClick(page.BrowseButton(), Qt::LeftButton);
    EXPECT_EQ(QStringLiteral("Please select a folder where server's responses should be saved"),
              strTitle);
    EXPECT_EQ(QStringLiteral("/start/here"), strStart);
    EXPECT_EQ(QStringLiteral("/start/here"), page.FolderField()->text());  // cancelled
    strAnswer = QStringLiteral("/chosen");
    page.BrowseButton()->click();
    EXPECT_EQ(QStringLiteral("/chosen"), page.FolderField()->text());
}

TEST_F(DialogTest, F1ShowsTheHelpTextOfTheFocusedControl) {
    COptionsDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    std::vector<QString> shown;
    COptionsDialog::SetPopupHelp(
        [&](const QPoint&, const QString& strText, QWidget*) { shown.push_back(strText); });
    CPageOptionsHtml& page = *dialog.Page();
    page.SaveResponseBox()->setChecked(true);
    const std::vector<std::pair<QWidget*, QString>> expected = {
        {page.ReplaceHostBox(),
         QStringLiteral("Replaces the \"Host: localhost\" line with \"Host: <URL host>:<Remote "
                        "Port>\" (without the port when it is the default) and the local address "
                        "in the \"Referer:\" and \"Origin:\" lines with the server's")},
        {page.SaveResponseBox(), QStringLiteral("Save the server's response to a file")},
        {page.FolderField(), QStringLiteral("Folder for saved files")},
        {page.BrowseButton(), QStringLiteral("Opens the folder dialog where you can choose a "
                                             "folder to save server's responses.")},
        {dialog.Buttons()->button(QDialogButtonBox::Ok),
         QStringLiteral("Closes the dialog box and saves any changes you have made.")},
        {dialog.Buttons()->button(QDialogButtonBox::Cancel),
         QStringLiteral("Closes the dialog box without saving any changes you have made.")},
        {dialog.Buttons()->button(QDialogButtonBox::Help),
         QStringLiteral("There is no help topic for this element")},
    };
    for (const auto& [pWidget, strText] : expected) {
        pWidget->setFocus();
        QTest::keyClick(pWidget, Qt::Key_F1);
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(strText, shown.back());
        // The title bar's what's-this mode shows the same text.
        EXPECT_EQ(strText, pWidget->whatsThis());
    }
    EXPECT_EQ(expected.size(), shown.size());
}

TEST_F(DialogTest, ProblemReportMailsTheTextsUnchanged) {
    const std::wstring strError = L"ERROR: CAboutDlg failed! 50% of a&b #3 ?x=1\r\nline two\r\n";
    m_nAnswer = IDNO;
    EXPECT_EQ(0, OfferProblemReport(strError));
    EXPECT_TRUE(m_urls.empty());
    m_nAnswer = IDYES;
    EXPECT_EQ(1, OfferProblemReport(strError));
    ASSERT_EQ(1u, m_urls.size());
    const QUrl& url = m_urls[0];
    EXPECT_EQ(QStringLiteral("mailto"), url.scheme());
    EXPECT_EQ(QStringLiteral(TAPVANE_REPORT_ADDRESS), url.path());
    EXPECT_EQ(QStringLiteral("Tapvane"), MailField(url, QStringLiteral("subject")));
    EXPECT_EQ(
        QString::fromStdWString(strError + L" \r\n\r\n" + GetVersionText() + DescribeSystem()),
        MailField(url, QStringLiteral("body")));
    const auto boxes = Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(strError + L"\r\n\r\nDo you want to email me the report about your problem?",
              boxes[1].strText);
}

TEST_F(DialogTest, AboutBoxShowsAndMailsTheVersionAndSystemText) {
    const std::wstring strText = AboutText();
    // The version text, then the system description.
    EXPECT_EQ(0u, strText.find(GetVersionText()));
    EXPECT_EQ(strText.size() - DescribeSystem().size(), strText.rfind(DescribeSystem()));
    CAboutDialog dialog(L"Tapvane", strText);
    EXPECT_EQ(QStringLiteral("About Tapvane"), dialog.windowTitle());
    EXPECT_TRUE(dialog.TextBox()->isReadOnly());
    EXPECT_EQ(
        QString::fromStdWString(strText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
        dialog.TextBox()->toPlainText());
    EXPECT_TRUE(dialog.SiteLink()->text().contains(QStringLiteral("My site")));
    EXPECT_TRUE(dialog.MailLink()->text().contains(QStringLiteral("Email me")));
    // Following the links hands their targets to the desktop.
    emit dialog.SiteLink()->linkActivated(QString());
    emit dialog.MailLink()->linkActivated(QString());
    ASSERT_EQ(2u, m_urls.size());
    EXPECT_EQ(QUrl(QStringLiteral(TAPVANE_SITE_URL)), m_urls[0]);
    EXPECT_EQ(QStringLiteral("Tapvane"), MailField(m_urls[1], QStringLiteral("subject")));
    EXPECT_EQ(QString::fromStdWString(strText), MailField(m_urls[1], QStringLiteral("body")));
}

TEST_F(DialogTest, MenuItemsOpenAboutAndOptions) {
    OpenFrame();
    bool bAbout = false;
    WhenOpen<CAboutDialog>([&](CAboutDialog& d) {
        bAbout = d.windowTitle() == QStringLiteral("About Tapvane");
        d.accept();
    });
    Act(ID_APP_ABOUT).trigger();
    EXPECT_TRUE(bAbout);
    bool bOptions = false;
    WhenOpen<COptionsDialog>([&](COptionsDialog& d) {
        bOptions = true;
        d.Page()->ReplaceHostBox()->setChecked(true);
        QTest::keyClick(&d, Qt::Key_Escape);
    });
    ASSERT_TRUE(Act(ID_TOOLS_OPTIONS).isEnabled());
    Act(ID_TOOLS_OPTIONS).trigger();
    EXPECT_TRUE(bOptions);
    EXPECT_FALSE(CRegKeyTalvex().GetReplaceHostHeader());
}

TEST_F(DialogTest, HelpOpensTheStartPageOrTheTopic) {
    OpenFrame();
    const QString strFolder = QStringLiteral(TAPVANE_HELP_SOURCE_DIR);
    ASSERT_TRUE(Act(ID_HELP_FINDER).isEnabled());
    Act(ID_HELP_FINDER).trigger();
    ASSERT_EQ(1u, m_urls.size());
    EXPECT_EQ(QUrl::fromLocalFile(strFolder + QStringLiteral("/index.html")), m_urls[0]);
    // The options page's Help button names its topic.
    WhenOpen<COptionsDialog>([&](COptionsDialog& d) {
        d.Buttons()->button(QDialogButtonBox::Help)->click();
        d.reject();
    });
    Act(ID_TOOLS_OPTIONS).trigger();
    ASSERT_EQ(2u, m_urls.size());
    EXPECT_EQ(QUrl::fromLocalFile(strFolder + QStringLiteral("/afx_hidd_options_html.htm")),
              m_urls[1]);
    // F1 in the window opens the start page.
    m_pFrame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
    QTest::keyClick(m_pFrame->ConnectionBar()->UrlBox(), Qt::Key_F1);
    ASSERT_EQ(3u, m_urls.size());
    EXPECT_EQ(m_urls[0], m_urls[2]);
    EXPECT_TRUE(Boxes().empty());
    // Every page the contents name is there.
    for (const char* psz :
         {"window.html", "connection_bar.html", "listening.html", "log.html", "log_files.html",
          "command_line.html", "troubleshooting.html", "tls.html"}) {
        EXPECT_TRUE(CHelpPages::Show(QString::fromLatin1(psz))) << psz;
    }
}

TEST_F(DialogTest, AMissingHelpFolderSaysWhereItLooked) {
    OpenFrame();
    CTempFolder empty;
    CHelpPages::SetFolderOverride(QString::fromStdString(empty.Path("help")));
    Act(ID_HELP_FINDER).trigger();
    EXPECT_TRUE(m_urls.empty());
    auto boxes = Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_NE(std::wstring::npos,
              boxes[0].strText.find(L"help pages of Tapvane are not installed"));
    EXPECT_NE(std::wstring::npos, boxes[0].strText.find(win::AnsiToWide(empty.Path("help"))));
    // A topic that is not among the pages.
    CHelpPages::SetFolderOverride(QStringLiteral(TAPVANE_HELP_SOURCE_DIR));
    g_Module.ShowHelpTopic(L"no_such_topic.htm");
    boxes = Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_NE(std::wstring::npos, boxes[1].strText.find(L"\"no_such_topic.htm\" is missing"));
    EXPECT_TRUE(m_urls.empty());
}

}  // namespace
