// The connection bar in a real main window: the Listen command follows the fields, the
// saved servers fill the URL list in order, and the chosen entry comes back at the next
// start.
#include "MainFrameFixture.h"

namespace {

using test::MainFrameFixture;

class ConnectionBarTest : public MainFrameFixture {};

TEST_F(ConnectionBarTest, ListenFollowsTheFieldsAsTheUserTypes) {
    OpenFrame();
    QLineEdit* pLocal = Bar().LocalPortField();
    QLineEdit* pRemote = Bar().RemotePortField();
    Bar().UrlBox()->setEditText(QStringLiteral("example.org"));
    SetField(pLocal, QStringLiteral("8080"));
    SetField(pRemote, QStringLiteral("80"));
    EXPECT_TRUE(ListenEnabled());

    // Clearing Local Port disables the button and the menu item; a digit enables both.
    pLocal->selectAll();
    QTest::keyClick(pLocal, Qt::Key_Backspace);
    EXPECT_FALSE(ListenEnabled());
    QTest::keyClick(pLocal, Qt::Key_7);
    EXPECT_TRUE(ListenEnabled());

    // Letters never get in; a remote port of 0 keeps Listen disabled.
    QTest::keyClicks(pRemote, QStringLiteral("x"));
    EXPECT_EQ(QStringLiteral("80"), pRemote->text());
    SetField(pRemote, QStringLiteral("0"));
    EXPECT_FALSE(ListenEnabled());

    // A number that no port has would reach the sockets cut to 16 bits (65616 is port 80).
    SetField(pRemote, QStringLiteral("65616"));
    EXPECT_FALSE(ListenEnabled());
    SetField(pRemote, QStringLiteral("65535"));
    EXPECT_TRUE(ListenEnabled());

    // An empty URL box disables it too.
    Bar().UrlBox()->setEditText(QString());
    EXPECT_FALSE(ListenEnabled());
}

TEST_F(ConnectionBarTest, NetworkSideReadsTheFieldsAsSignedNumbers) {
    EXPECT_EQ(0, PortFieldValue(QString()));
    EXPECT_EQ(8080, PortFieldValue(QStringLiteral("8080")));
    EXPECT_EQ(2147483647, PortFieldValue(QStringLiteral("2147483647")));
    EXPECT_EQ(0, PortFieldValue(QStringLiteral("2147483648")));  // does not fit: no number
    EXPECT_EQ(0, PortFieldValue(QStringLiteral("99999999999999999999")));
}

TEST_F(ConnectionBarTest, SavedServersAreSortedAndAnEntryWithoutRemotePortUsesTheLocalOne) {
    {
        CRegKeyTalvex settings;
        settings.SetServer(L"zeta.example", 9000, 9443);
        settings.SetServer(L"Alpha.example", 8080, 0);
    }
    OpenFrame();
    CServerCombo* pUrl = Bar().UrlBox();
    QStringList texts;
    for (int i = 0; i < pUrl->count(); ++i) {
        texts << pUrl->itemText(i);
    }
    QStringList sorted = texts;
    std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    EXPECT_EQ(sorted, texts);

    const int nAlpha = pUrl->findText(QStringLiteral("Alpha.example"));
    ASSERT_GE(nAlpha, 0);
    // Choose it with the keyboard, as a user would from the open list.
    pUrl->setFocus();
    pUrl->showPopup();
    pUrl->setCurrentIndex(nAlpha);
    emit pUrl->activated(nAlpha);
    pUrl->hidePopup();
    EXPECT_EQ(QStringLiteral("8080"), Bar().LocalPortField()->text());
    EXPECT_EQ(QStringLiteral("8080"), Bar().RemotePortField()->text());

    const int nZeta = pUrl->findText(QStringLiteral("zeta.example"));
    pUrl->setCurrentIndex(nZeta);
    emit pUrl->activated(nZeta);
    EXPECT_EQ(QStringLiteral("9000"), Bar().LocalPortField()->text());
    EXPECT_EQ(QStringLiteral("9443"), Bar().RemotePortField()->text());
}

TEST_F(ConnectionBarTest, TheChosenEntryIsSelectedAgainAtTheNextStart) {
    OpenFrame();
    CServerCombo* pUrl = Bar().UrlBox();
    ASSERT_GT(pUrl->count(), 3);
    pUrl->setCurrentIndex(2);
    emit pUrl->activated(2);
    const QString strChosen = pUrl->currentText();
    const QString strPort = Bar().LocalPortField()->text();
    CloseForGood();

    OpenFrame();
    EXPECT_EQ(2, Bar().UrlBox()->currentIndex());
    EXPECT_EQ(strChosen, Bar().UrlBox()->currentText());
    EXPECT_EQ(strPort, Bar().LocalPortField()->text());
}

TEST_F(ConnectionBarTest, AStoredPositionPastTheEndLeavesNoSelectionAndEmptyPorts) {
    {
        CRegKeyTalvex settings;
        settings.SetDefaultServerID(500);
    }
    OpenFrame();
    EXPECT_EQ(-1, Bar().UrlBox()->SelectedPosition());
    EXPECT_TRUE(Bar().UrlBox()->currentText().isEmpty());
    EXPECT_TRUE(Bar().LocalPortField()->text().isEmpty());
    EXPECT_FALSE(ListenEnabled());
}

TEST_F(ConnectionBarTest, CopyGoesToTheFocusedFieldWithASelectionOnly) {
    OpenFrame();
    QApplication::setActiveWindow(m_pFrame.get());
    QLineEdit* pLocal = Bar().LocalPortField();
    SetField(pLocal, QStringLiteral("8123"));
    pLocal->setFocus();
    ASSERT_TRUE(test::PumpUntil([&] { return pLocal->hasFocus(); }, 2000));
    pLocal->deselect();
    EXPECT_FALSE(Bar().Copy());  // nothing selected: the command goes on
    pLocal->selectAll();
    EXPECT_TRUE(Bar().Copy());
    EXPECT_EQ(QStringLiteral("8123"), QApplication::clipboard()->text());
    // The Edit menu's Copy with the focus in the field copies from the field, not the log.
    QApplication::clipboard()->clear();
    Act(ID_EDIT_COPY).setEnabled(true);
    Act(ID_EDIT_COPY).trigger();
    EXPECT_EQ(QStringLiteral("8123"), QApplication::clipboard()->text());
    EXPECT_EQ(0, m_pPane->m_nCopies);
}

TEST_F(ConnectionBarTest, APastedUrlGivesItsHostAndFillsAnEmptyRemotePort) {
    OpenFrame();
    QApplication::setActiveWindow(m_pFrame.get());
    QLineEdit* pUrl = Bar().UrlBox()->lineEdit();
    QLineEdit* pRemote = Bar().RemotePortField();
    const auto statusSays = [&](const char* pszPart) {
        return test::PumpUntil(
            [&] { return m_pFrame->StatusText(1).contains(QString::fromLatin1(pszPart)); }, 2000);
    };
    SetField(Bar().LocalPortField(), QStringLiteral("8080"));
    SetField(pRemote, QString());
    // Pasted with Ctrl+V, as from a browser's address bar.
    pUrl->setFocus();
    pUrl->selectAll();
    QApplication::clipboard()->setText(QStringLiteral("http://127.0.0.1:28080/some/path"));
    QTest::keyClick(pUrl, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(QStringLiteral("http://127.0.0.1:28080/some/path"), pUrl->text());
    EXPECT_EQ(QStringLiteral("28080"), pRemote->text());
    EXPECT_TRUE(ListenEnabled());
    // Typed key by key, the port follows the URL's until the user types one of their own.
    SetField(pRemote, QString());
    SetField(pUrl, QStringLiteral("http://[::1]:8443/"));
    EXPECT_EQ(QStringLiteral("8443"), pRemote->text());
    QTest::keyClick(pRemote, Qt::Key_Backspace);
    QTest::keyClick(pRemote, Qt::Key_4);
    SetField(pUrl, QStringLiteral("http://127.0.0.1:1234/"));
    EXPECT_EQ(QStringLiteral("8444"), pRemote->text());
    // Blanks around a host, a scheme and a path are not part of the host.
    for (const char* pszUrl : {" 127.0.0.1 ", "http://127.0.0.1/", "HTTPS://example.org/a?b"}) {
        SetField(pUrl, QString::fromLatin1(pszUrl));
        EXPECT_TRUE(ListenEnabled()) << pszUrl;
    }
    // No host: Listen stays disabled and the status bar says why.
    for (const char* pszUrl : {"ftp://", "http:///path", "   "}) {
        SetField(pUrl, QString::fromLatin1(pszUrl));
        EXPECT_FALSE(ListenEnabled()) << pszUrl;
    }
    EXPECT_TRUE(statusSays("Enter the server in URL"));
    SetField(pUrl, QStringLiteral("ftp://"));
    EXPECT_TRUE(statusSays("The URL names no host"));
    SetField(pUrl, QStringLiteral("example.org:99999"));
    EXPECT_FALSE(ListenEnabled());
    EXPECT_TRUE(statusSays("The port in the URL is not a number from 1 to 65535"));
    SetField(pUrl, QStringLiteral("example.org"));
    EXPECT_TRUE(ListenEnabled());
    EXPECT_TRUE(statusSays("Ready"));
}

TEST_F(ConnectionBarTest, TheFirstRunEntryWithoutAHostKeepsListenDisabled) {
    OpenFrame();
    ASSERT_EQ(QStringLiteral("ftp://"), Bar().UrlBox()->currentText());
    EXPECT_EQ(QStringLiteral("21"), Bar().LocalPortField()->text());
    EXPECT_FALSE(ListenEnabled());
    EXPECT_TRUE(test::PumpUntil(
        [&] { return m_pFrame->StatusText(1).startsWith(QStringLiteral("The URL names no host")); },
        2000))
        << m_pFrame->StatusText(1).toStdString();
}

}  // namespace
