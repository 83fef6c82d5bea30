#include "ui/CertAuthorityDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "capture/TlsSettings.h"
#include "module/MyModule.h"
#include "tls/CertAuthority.h"

namespace {

constexpr const wchar_t* kTrustTopic = L"tls.html";

}  // namespace

CCertAuthorityDialog::CCertAuthorityDialog(QWidget* pParent, QString strFolder)
    : QDialog(pParent), m_strFolder(std::move(strFolder)) {
    setObjectName(QStringLiteral("certAuthorityDialog"));
    setWindowTitle(tr("TLS Certificate Authority"));
    m_fnSave = [](QWidget* pOwner, const QString& strCaption, const QString& strPath,
                  const QString& strFilter) {
        return QFileDialog::getSaveFileName(pOwner, strCaption, strPath, strFilter);
    };
    m_fnConfirm = [](QWidget* pOwner, const QString& strText) {
        return QMessageBox::question(pOwner, tr("TLS Certificate Authority"), strText,
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };

    auto* pIntro = new QLabel(
        tr("Tapvane shows TLS clients certificates issued by this authority of your own. "
           "Clients accept them once the authority is trusted on this system or in the "
           "browser; its key never leaves its file."),
        this);
    pIntro->setWordWrap(true);
    m_pName = new QLabel(this);
    m_pName->setObjectName(QStringLiteral("caName"));
    m_pFingerprint = new QLabel(this);
    m_pFingerprint->setObjectName(QStringLiteral("caFingerprint"));
    m_pFingerprint->setWordWrap(true);
    m_pFile = new QLabel(this);
    m_pFile->setObjectName(QStringLiteral("caFile"));
    m_pFile->setWordWrap(true);
    for (QLabel* pLabel : {m_pName, m_pFingerprint, m_pFile}) {
        // Selectable with the keyboard too, so that the fingerprint can be copied.
        pLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        pLabel->setFocusPolicy(Qt::StrongFocus);
    }
    auto* pForm = new QFormLayout;
    pForm->addRow(tr("Name:"), m_pName);
    pForm->addRow(tr("SHA-256 fingerprint:"), m_pFingerprint);
    pForm->addRow(tr("Certificate file:"), m_pFile);

    m_pExportPem = new QPushButton(tr("Export &PEM..."), this);
    m_pExportDer = new QPushButton(tr("Export &DER..."), this);
    m_pTrustHelp = new QPushButton(tr("&How to Trust It"), this);
    m_pMakeNew = new QPushButton(tr("Make a &New One..."), this);
    auto* pButtonRow = new QHBoxLayout;
    for (QPushButton* pButton : {m_pExportPem, m_pExportDer, m_pTrustHelp, m_pMakeNew}) {
        pButton->setAutoDefault(false);
        pButtonRow->addWidget(pButton);
    }
    m_pExportPem->setToolTip(tr("The certificate as text, for update-ca-certificates or curl"));
    m_pExportDer->setToolTip(tr("The certificate in binary form, for programs that want DER"));
    m_pTrustHelp->setToolTip(tr("How to make this system, browsers and NSS databases trust it"));
    m_pMakeNew->setToolTip(tr("Replaces the authority with a new one with a new key"));
    auto* pClose = new QDialogButtonBox(QDialogButtonBox::Close, this);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(pIntro);
    pLayout->addLayout(pForm);
    pLayout->addLayout(pButtonRow);
    pLayout->addWidget(pClose);

    connect(m_pExportPem, &QPushButton::clicked, this, [this] { ExportPem(); });
    connect(m_pExportDer, &QPushButton::clicked, this, [this] { ExportDer(); });
    connect(m_pTrustHelp, &QPushButton::clicked, this, [] { g_Module.ShowHelpTopic(kTrustTopic); });
    connect(m_pMakeNew, &QPushButton::clicked, this, [this] { MakeNew(); });
    connect(pClose, &QDialogButtonBox::rejected, this, &QDialog::reject);
    Reload(false);
}

CCertAuthorityDialog::~CCertAuthorityDialog() = default;

void CCertAuthorityDialog::Reload(bool bRenew) {
    const std::string strFolder =
        m_strFolder.isEmpty() ? tls::CCertAuthority::DefaultFolder() : m_strFolder.toStdString();
    try {
        m_pAuthority =
            bRenew ? tls::CCertAuthority::Renew(strFolder) : tls::CCertAuthority::Open(strFolder);
        m_pName->setText(QString::fromStdString(m_pAuthority->Name()));
        m_pFingerprint->setText(QString::fromStdString(m_pAuthority->Fingerprint()));
        m_pFile->setText(QString::fromStdString(m_pAuthority->CertPath()));
    } catch (const tls::CTlsError& e) {
        m_pAuthority.reset();
        m_pName->setText(tr("(none)"));
        m_pFingerprint->setText(QString::fromStdString(e.what()));
        m_pFile->setText(QString::fromStdString(strFolder));
    }
    m_pExportPem->setEnabled(m_pAuthority != nullptr);
    m_pExportDer->setEnabled(m_pAuthority != nullptr);
}

bool CCertAuthorityDialog::ExportPem() {
    return Export(tr("Export the Certificate (PEM)"), QStringLiteral(".pem"),
                  tr("PEM certificates (*.pem *.crt);;All files (*)"), false);
}

bool CCertAuthorityDialog::ExportDer() {
    return Export(tr("Export the Certificate (DER)"), QStringLiteral(".der"),
                  tr("DER certificates (*.der *.cer);;All files (*)"), true);
}

bool CCertAuthorityDialog::Export(const QString& strCaption, const QString& strSuffix,
                                  const QString& strFilter, bool bDer) {
    if (m_pAuthority == nullptr) {
        return false;
    }
    const QString strPath =
        m_fnSave(this, strCaption, QStringLiteral("tapvane-ca") + strSuffix, strFilter);
    if (strPath.isEmpty()) {
        return false;
    }
    // The certificate only, never the key: it is public, so the file keeps the umask.
    const std::string bytes = bDer ? m_pAuthority->Der() : m_pAuthority->Pem();
    QFile file(strPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size()) ||
        !file.flush()) {
        QMessageBox::warning(this, windowTitle(),
                             tr("The certificate could not be written to \"%1\".\n%2")
                                 .arg(strPath, file.errorString()));
        return false;
    }
    g_Module.SetStatusText(
        tr("The certificate authority was exported to \"%1\".").arg(strPath).toStdWString(),
        STATUS_PANE_TEXT);
    return true;
}

bool CCertAuthorityDialog::MakeNew() {
    if (!m_fnConfirm(this, tr("Programs and browsers that trust the current authority will not "
                              "trust the new one until you trust it too. Make a new one?"))) {
        return false;
    }
    Reload(true);
    // Sessions from now on use the new authority.
    ForgetTlsEngine();
    return m_pAuthority != nullptr;
}
