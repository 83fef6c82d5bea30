#include "ui/OptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDialogButtonBox>
#include <QEvent>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWhatsThis>

#include "module/MyModule.h"
#include "support/ResourceStrings.h"
#include "ui/AppIcons.h"
#include "ui/OptionsPage.h"
#include "ui/OptionsPageTls.h"
#include "ui/ProblemReport.h"

namespace {

constexpr UINT kStrAppName = 128;
constexpr UINT kStrGeneral = 144;
constexpr UINT kStrOptions = 146;
constexpr UINT kStrNoHelp = 5103;

COptionsDialog::PopupFn& Popup() {
    static COptionsDialog::PopupFn s_fn;
    return s_fn;
}

QString Str(UINT nId) {
    return QString::fromStdWString(LoadResourceString(nId));
}

}  // namespace

void COptionsDialog::SetPopupHelp(PopupFn fn) {
    Popup() = std::move(fn);
}

COptionsDialog::COptionsDialog(QWidget* pParent) : QDialog(pParent) {
    setObjectName(QStringLiteral("optionsDialog"));
    setWindowTitle(Str(kStrAppName) + QLatin1Char(' ') + Str(kStrOptions));
    setWindowIcon(AppIcon());
    // The title bar's what's-this button, where the desktop draws one.
    setWindowFlag(Qt::WindowContextHelpButtonHint, true);

    m_pTabs = new QTabWidget(this);
    m_pPage = new CPageOptionsHtml(m_pTabs);
    m_pTabs->addTab(m_pPage, Str(kStrGeneral));
    m_pTlsPage = new CPageOptionsTls(m_pTabs);
    m_pTabs->addTab(m_pTlsPage, QStringLiteral("TLS"));
    // No Apply: the options take effect for sessions that start after OK.
    m_pButtons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(m_pButtons, &QDialogButtonBox::accepted, this, &COptionsDialog::accept);
    connect(m_pButtons, &QDialogButtonBox::rejected, this, &COptionsDialog::reject);
    connect(m_pButtons, &QDialogButtonBox::helpRequested, this,
            [this] { ReportGuard(kOptionsPageFailed, kUnhandled, [&] { OnHelp(); }); });

    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pTabs, 1);
    pLayout->addWidget(m_pButtons);

    m_helpIds = {
        {m_pPage->ReplaceHostBox(), 145},
        {m_pPage->SaveResponseBox(), 149},
        {m_pPage->FolderField(), 150},
        {m_pPage->BrowseButton(), 151},
        {m_pPage->ListenAddressBox(), 160},
        {m_pButtons->button(QDialogButtonBox::Ok), 5101},
        {m_pButtons->button(QDialogButtonBox::Cancel), 5102},
    };
    // The texts that the what's-this mode of the title bar shows.
    for (QWidget* pWidget : findChildren<QWidget*>()) {
        pWidget->setWhatsThis(HelpTextFor(pWidget));
    }

    // F1 on the control that has the focus.
    auto* pF1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    pF1->setContext(Qt::WindowShortcut);
    connect(pF1, &QShortcut::activated, this, [this] {
        ReportGuard(L"", kUnhandledContextHelp,
                    [&] { ShowContextHelp(focusWidget(), QCursor::pos()); });
    });

    ReportGuard(kOptionsPageFailed, kUnhandled, [&] {
        m_pPage->Load();
        m_pTlsPage->Load();
    });
    m_pPage->ReplaceHostBox()->setFocus();
}

QString COptionsDialog::HelpTextFor(const QWidget* pWidget) const {
    const auto it = m_helpIds.find(pWidget);
    if (it != m_helpIds.end()) {
        return Str(it->second);
    }
    // The TLS page's controls carry their own texts.
    if (pWidget != nullptr && !pWidget->whatsThis().isEmpty()) {
        return pWidget->whatsThis();
    }
    return Str(kStrNoHelp);
}

void COptionsDialog::ShowContextHelp(QWidget* pWidget, const QPoint& pos) {
    const QString strText = HelpTextFor(pWidget);
    if (Popup()) {
        Popup()(pos, strText, pWidget != nullptr ? pWidget : this);
    } else {
        QWhatsThis::showText(pos, strText, pWidget != nullptr ? pWidget : this);
    }
}

void COptionsDialog::accept() {
    // The dialog closes only once everything is stored; otherwise the user's input stays.
    ReportGuard(kOptionsSheetFailed, kUnhandled, [&] {
        m_pPage->Store();
        m_pTlsPage->Store();
        QDialog::accept();
    });
}

void COptionsDialog::OnHelp() {
    g_Module.ShowHelpTopic(kHelpTopic);
}
