#include "ui/OptionsPageTls.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "settings/RegKeyTalvex.h"

CPageOptionsTls::CPageOptionsTls(QWidget* pParent) : QWidget(pParent) {
    setObjectName(QStringLiteral("pageOptionsTls"));
    auto* pServerLabel = new QLabel(tr("&Server uses TLS:"), this);
    m_pServerTls = new QComboBox(this);
    m_pServerTls->setObjectName(QStringLiteral("serverTls"));
    // The items' order is the stored value's: 0 auto, 1 on, 2 off.
    m_pServerTls->addItem(tr("Auto (when the URL begins with https://)"));
    m_pServerTls->addItem(tr("On"));
    m_pServerTls->addItem(tr("Off"));
    pServerLabel->setBuddy(m_pServerTls);
    m_pServerTls->setWhatsThis(
        tr("Whether Tapvane speaks TLS to the server. Auto: when the URL begins with "
           "https://. The server's certificate is checked against this system's trusted "
           "authorities and the host name; a session whose server fails the check ends "
           "before any byte passes, and the log says why."));

    m_pAcceptAny = new QCheckBox(tr("&Accept any server certificate"), this);
    m_pAcceptAny->setObjectName(QStringLiteral("acceptAnyServerCert"));
    m_pAcceptAny->setWhatsThis(
        tr("Lets a development server's own certificate through (self-signed, expired or for "
           "another name). Each such session writes a warning line into the log."));

    auto* pClientLabel = new QLabel(tr("&Decrypt TLS from clients:"), this);
    m_pClientTls = new QComboBox(this);
    m_pClientTls->setObjectName(QStringLiteral("clientTls"));
    m_pClientTls->addItem(tr("Auto (answer a TLS hello with TLS)"));
    m_pClientTls->addItem(tr("Off (relay TLS from clients as it is)"));
    pClientLabel->setBuddy(m_pClientTls);
    m_pClientTls->setWhatsThis(
        tr("Auto: a client whose first bytes are a TLS hello is answered with TLS, with a "
           "certificate from Tapvane's own certificate authority (Tools > TLS Certificate "
           "Authority...), and the log shows what it says in clear text. Anything else is "
           "relayed byte for byte."));

    auto* pPassLabel = new QLabel(tr("&Pass through these hosts (one pattern a line, * "
                                     "matches any part):"),
                                  this);
    pPassLabel->setWordWrap(true);
    m_pPassthrough = new QPlainTextEdit(this);
    m_pPassthrough->setObjectName(QStringLiteral("tlsPassthrough"));
    m_pPassthrough->setTabChangesFocus(true);
    m_pPassthrough->setPlaceholderText(QStringLiteral("*.bank.example"));
    m_pPassthrough->setFixedHeight(m_pPassthrough->fontMetrics().lineSpacing() * 4 + 12);
    pPassLabel->setBuddy(m_pPassthrough);
    m_pPassthrough->setWhatsThis(
        tr("Clients that ask for one of these hosts are relayed as they are, without "
           "decryption (for programs that pin their server's key); the log says so."));

    auto* pKeyLogLabel = new QLabel(tr("&Key log file (empty: none):"), this);
    m_pKeyLog = new QLineEdit(this);
    m_pKeyLog->setObjectName(QStringLiteral("keyLogFile"));
    pKeyLogLabel->setBuddy(m_pKeyLog);
    m_pKeyLog->setWhatsThis(
        tr("Both sides' TLS secrets in the key log format that packet analysers read, so "
           "that a capture of the real connections can be decrypted too. The file is "
           "readable by you only. Without a file here, the SSLKEYLOGFILE variable is used."));
    m_pKeyLogBrowse = new QPushButton(tr("B&rowse..."), this);
    m_pKeyLogBrowse->setObjectName(QStringLiteral("keyLogBrowse"));
    m_pKeyLogBrowse->setAutoDefault(false);
    connect(m_pKeyLogBrowse, &QPushButton::clicked, this, [this] {
        const QString strPath =
            QFileDialog::getSaveFileName(this, tr("Key Log File"), m_pKeyLog->text(),
                                         tr("Key logs (*.log *.txt);;All files (*)"));
        if (!strPath.isEmpty()) {
            m_pKeyLog->setText(strPath);
        }
    });

    for (QWidget* pWidget :
         std::initializer_list<QWidget*>{m_pServerTls, m_pAcceptAny, m_pClientTls, m_pPassthrough,
                                         m_pKeyLog, m_pKeyLogBrowse}) {
        pWidget->setToolTip(pWidget->whatsThis());
    }
    m_pKeyLogBrowse->setToolTip(tr("Choose the key log file"));
    m_pKeyLogBrowse->setWhatsThis(m_pKeyLogBrowse->toolTip());

    auto* pLayout = new QGridLayout(this);
    int nRow = 0;
    pLayout->addWidget(pServerLabel, nRow, 0);
    pLayout->addWidget(m_pServerTls, nRow++, 1);
    pLayout->addWidget(m_pAcceptAny, nRow++, 1);
    pLayout->addWidget(pClientLabel, nRow, 0);
    pLayout->addWidget(m_pClientTls, nRow++, 1);
    pLayout->addWidget(pPassLabel, nRow++, 0, 1, 2);
    pLayout->addWidget(m_pPassthrough, nRow++, 0, 1, 2);
    pLayout->addWidget(pKeyLogLabel, nRow++, 0, 1, 2);
    auto* pKeyLogRow = new QHBoxLayout;
    pKeyLogRow->addWidget(m_pKeyLog, 1);
    pKeyLogRow->addWidget(m_pKeyLogBrowse);
    pLayout->addLayout(pKeyLogRow, nRow++, 0, 1, 2);
    pLayout->setColumnStretch(1, 1);
    pLayout->setRowStretch(nRow, 1);
}

void CPageOptionsTls::Load() {
    CRegKeyTalvex settings;
    m_pServerTls->setCurrentIndex(static_cast<int>(std::min<DWORD>(settings.GetServerTls(), 2)));
    m_pClientTls->setCurrentIndex(static_cast<int>(std::min<DWORD>(settings.GetClientTls(), 1)));
    m_pAcceptAny->setChecked(settings.GetAcceptAnyServerCert());
    m_pPassthrough->setPlainText(QString::fromStdWString(settings.GetTlsPassthrough()));
    m_pKeyLog->setText(QString::fromStdWString(settings.GetKeyLogFile()));
}

void CPageOptionsTls::Store() {
    CRegKeyTalvex settings;
    settings.SetServerTls(static_cast<DWORD>(m_pServerTls->currentIndex()));
    settings.SetClientTls(static_cast<DWORD>(m_pClientTls->currentIndex()));
    settings.SetAcceptAnyServerCert(m_pAcceptAny->isChecked());
    settings.SetTlsPassthrough(m_pPassthrough->toPlainText().trimmed().toStdWString().c_str());
    settings.SetKeyLogFile(m_pKeyLog->text().trimmed().toStdWString().c_str());
}
