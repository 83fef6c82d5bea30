#include "ui/OptionsPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "net/ListenAddress.h"
#include "settings/RegKeyTalvex.h"
#include "support/ResourceStrings.h"
#include "ui/ProblemReport.h"

namespace {

constexpr UINT kStrFolderTitle = 152;

CPageOptionsHtml::FolderChooserFn& FolderChooser() {
    static CPageOptionsHtml::FolderChooserFn s_fn;
    return s_fn;
}

}  // namespace

void CPageOptionsHtml::SetFolderChooser(FolderChooserFn fn) {
    FolderChooser() = std::move(fn);
}

CPageOptionsHtml::CPageOptionsHtml(QWidget* pParent) : QWidget(pParent) {
    setObjectName(QStringLiteral("pageOptionsHtml"));
    auto* pIntro = new QLabel(tr("Apply options below for HTTP protocol only."), this);
    m_pReplaceHost =
        new QCheckBox(tr("&Replace the Host header. Press Help button for details."), this);
    m_pReplaceHost->setObjectName(QStringLiteral("replaceHost"));
    m_pSaveResponse = new QCheckBox(tr("&Save the server's response to a file"), this);
    m_pSaveResponse->setObjectName(QStringLiteral("saveResponse"));
    auto* pFolderLabel = new QLabel(tr("&Folder for saved files:"), this);
    m_pFolder = new QLineEdit(this);
    m_pFolder->setObjectName(QStringLiteral("dataFolder"));
    pFolderLabel->setBuddy(m_pFolder);
    m_pBrowse = new QPushButton(tr("&Browse..."), this);
    m_pBrowse->setObjectName(QStringLiteral("browse"));
    m_pBrowse->setAutoDefault(false);

    auto* pListenLabel = new QLabel(tr("&Accept connections from:"), this);
    m_pListenAddress = new QComboBox(this);
    m_pListenAddress->setObjectName(QStringLiteral("listenAddress"));
    m_pListenAddress->addItem(tr("All interfaces (any machine that reaches this one)"),
                              QStringLiteral("all"));
    m_pListenAddress->addItem(tr("This machine only (127.0.0.1 and ::1)"), QStringLiteral("local"));
    m_pListenAddress->setToolTip(
        tr("Listen Address: who may connect to the local port. Used when listening starts."));
    pListenLabel->setBuddy(m_pListenAddress);
    m_pKeepListening = new QCheckBox(tr("&Keep listening when the server cannot be reached"), this);
    m_pKeepListening->setObjectName(QStringLiteral("keepListening"));
    m_pKeepListening->setToolTip(
        tr("Off: the first session whose server cannot be reached stops listening and says "
           "why in a message box. On: that session fails alone (its client is reset and the "
           "log says why) and new connections are still accepted."));

    auto* pLayout = new QGridLayout(this);
    pLayout->addWidget(pIntro, 0, 0, 1, 2);
    pLayout->addWidget(m_pReplaceHost, 1, 0, 1, 2);
    pLayout->addWidget(m_pSaveResponse, 2, 0, 1, 2);
    pLayout->addWidget(pFolderLabel, 3, 0, 1, 2);
    pLayout->addWidget(m_pFolder, 4, 0, 1, 2);
    pLayout->addWidget(m_pBrowse, 5, 1);
    pLayout->addWidget(pListenLabel, 6, 0, 1, 2);
    pLayout->addWidget(m_pListenAddress, 7, 0, 1, 2);
    pLayout->addWidget(m_pKeepListening, 8, 0, 1, 2);
    pLayout->setColumnStretch(0, 1);
    pLayout->setRowStretch(9, 1);

    connect(m_pSaveResponse, &QCheckBox::toggled, this, [this] {
        ReportGuard(kOptionsPageFailed, kUnhandled, [&] { UpdateFolderControls(); });
    });
    connect(m_pBrowse, &QPushButton::clicked, this,
            [this] { ReportGuard(kOptionsPageFailed, kUnhandled, [&] { OnBrowse(); }); });
}

void CPageOptionsHtml::Load() {
    CRegKeyTalvex settings;
    m_pReplaceHost->setChecked(settings.GetReplaceHostHeader());
    m_pSaveResponse->setChecked(settings.GetSaveResponse());
    m_pKeepListening->setChecked(settings.GetKeepListening());
    m_pFolder->setText(QString::fromStdWString(settings.GetDataFolder()));
    UpdateFolderControls();
    // A text that is no address is shown as what listening does with it: this machine only.
    const CListenAddress where =
        CListenAddress::Parse(settings.GetListenAddress()).value_or(CListenAddress::Local());
    while (m_pListenAddress->count() > 2) {
        m_pListenAddress->removeItem(2);
    }
    const QString strWhere = QString::fromStdWString(where.ToText());
    if (where.GetKind() == CListenAddress::Kind::Address) {
        m_pListenAddress->addItem(tr("Only the address %1").arg(strWhere), strWhere);
    }
    m_pListenAddress->setCurrentIndex(m_pListenAddress->findData(strWhere));
}

void CPageOptionsHtml::Store() {
    CRegKeyTalvex settings;
    // The folder as typed: an empty or missing folder is the user's to choose.
    settings.SetDataFolder(m_pFolder->text().toStdWString().c_str());
    settings.SetReplaceHostHeader(m_pReplaceHost->isChecked());
    settings.SetSaveResponse(m_pSaveResponse->isChecked());
    settings.SetKeepListening(m_pKeepListening->isChecked());
    settings.SetListenAddress(m_pListenAddress->currentData().toString().toStdWString().c_str());
}

void CPageOptionsHtml::UpdateFolderControls() {
    const bool bEnable = m_pSaveResponse->isChecked();
    m_pFolder->setEnabled(bEnable);
    m_pBrowse->setEnabled(bEnable);
}

void CPageOptionsHtml::OnBrowse() {
    const QString strTitle = QString::fromStdWString(LoadResourceString(kStrFolderTitle));
    const QString strStart = m_pFolder->text();
    const QString strChosen = FolderChooser()
                                  ? FolderChooser()(this, strTitle, strStart)
                                  : QFileDialog::getExistingDirectory(this, strTitle, strStart);
    if (!strChosen.isEmpty()) {
        m_pFolder->setText(strChosen);
    }
}
