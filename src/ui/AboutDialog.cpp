#include "ui/AboutDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "BuildInfo.h"
#include "support/MailtoUrl.h"
#include "support/ResourceStrings.h"
#include "ui/AppIcons.h"
#include "ui/ExternalUrl.h"
#include "ui/ProblemReport.h"

namespace {

constexpr UINT kStrAppName = 128;
constexpr UINT kStrSiteLabel = 11211;
constexpr UINT kStrMailLabel = 11212;
constexpr int kIconSize = 48;

QString Str(UINT nId) {
    return QString::fromStdWString(LoadResourceString(nId));
}

// A link that the keyboard reaches with Tab and follows with Enter.
QLabel* MakeLink(const QUrl& url, const QString& strLabel, QWidget* pParent) {
    auto* pLink = new QLabel(pParent);
    pLink->setTextFormat(Qt::RichText);
    pLink->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(QString::fromLatin1(url.toEncoded()).toHtmlEscaped(), strLabel.toHtmlEscaped()));
    pLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    pLink->setFocusPolicy(Qt::StrongFocus);
    pLink->setOpenExternalLinks(false);
    pLink->setToolTip(url.scheme() == QLatin1String("mailto") ? QString() : url.toString());
    return pLink;
}

}  // namespace

CAboutDialog::CAboutDialog(const std::wstring& strAppName, const std::wstring& strAboutText,
                           QWidget* pParent)
    : QDialog(pParent), m_strAppName(strAppName), m_strAboutText(strAboutText) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(tr("About") + QLatin1Char(' ') + QString::fromStdWString(strAppName));

    auto* pIcon = new QLabel(this);
    pIcon->setObjectName(QStringLiteral("aboutIcon"));
    pIcon->setPixmap(AppIcon().pixmap(kIconSize, kIconSize));
    pIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    auto* pFrame = new QGroupBox(this);
    auto* pFrameLayout = new QVBoxLayout(pFrame);
    auto* pCredit1 = new QLabel(
        tr("Tapvane relays TCP connections to one server and shows every byte that passes."),
        pFrame);
    auto* pCredit2 = new QLabel(
        tr("Written by the Tapvane developers with Qt %1.").arg(QLatin1String(qVersion())), pFrame);
    for (QLabel* p : {pCredit1, pCredit2}) {
        p->setAlignment(Qt::AlignHCenter);
        p->setWordWrap(true);
        pFrameLayout->addWidget(p);
    }
    m_pText = new QPlainTextEdit(pFrame);
    m_pText->setObjectName(QStringLiteral("aboutText"));
    m_pText->setReadOnly(true);
    m_pText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The text's own line breaks are CR LF; the box shows lines.
    m_pText->setPlainText(QString::fromStdWString(strAboutText)
                              .replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    m_pText->setTabChangesFocus(true);
    pFrameLayout->addWidget(m_pText, 1);

    m_pSiteLink = MakeLink(SiteUrl(), Str(kStrSiteLabel), this);
    m_pSiteLink->setObjectName(QStringLiteral("siteLink"));
    m_pMailLink = MakeLink(MailUrl(), Str(kStrMailLabel), this);
    m_pMailLink->setObjectName(QStringLiteral("mailLink"));
    // The targets are built here each time, not read back from the labels.
    connect(m_pSiteLink, &QLabel::linkActivated, this, [this] { OnLink(SiteUrl()); });
    connect(m_pMailLink, &QLabel::linkActivated, this, [this] { OnLink(MailUrl()); });

    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    pButtons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* pLinks = new QHBoxLayout;
    pLinks->addWidget(m_pSiteLink);
    pLinks->addSpacing(16);
    pLinks->addWidget(m_pMailLink);
    pLinks->addStretch(1);
    pLinks->addWidget(pButtons);

    auto* pTop = new QHBoxLayout;
    pTop->addWidget(pIcon);
    pTop->addWidget(pFrame, 1);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pTop, 1);
    pLayout->addLayout(pLinks);
    resize(520, 420);

    setTabOrder(m_pText, m_pSiteLink);
    setTabOrder(m_pSiteLink, m_pMailLink);
    setTabOrder(m_pMailLink, pButtons->button(QDialogButtonBox::Ok));
    pButtons->button(QDialogButtonBox::Ok)->setFocus();
}

QUrl CAboutDialog::SiteUrl() const {
    return QUrl(QStringLiteral(TAPVANE_SITE_URL));
}

QUrl CAboutDialog::MailUrl() const {
    return QUrl::fromEncoded(QByteArray::fromStdString(BuildMailtoUrl(
                                 TAPVANE_REPORT_ADDRESS, m_strAppName, m_strAboutText)),
                             QUrl::StrictMode);
}

void CAboutDialog::OnLink(const QUrl& url) {
    ReportGuard(kAboutFailed, kUnhandled, [&] { OpenExternalUrl(url); });
}

void ShowAboutBox(QWidget* pOwner) {
    ReportGuard(kAboutFailed, kUnhandled, [&] {
        CAboutDialog dialog(LoadResourceString(kStrAppName), AboutText(),
                            pOwner != nullptr ? pOwner : QApplication::activeWindow());
        dialog.exec();
    });
}
