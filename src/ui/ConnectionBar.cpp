#include "ui/ConnectionBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QToolButton>

#include <limits>

#include "capture/ServerUrl.h"
#include "capture/SocketAccept.h"
#include "module/MyModule.h"
#include "settings/RegKeyTalvex.h"
#include "support/ResourceStrings.h"
#include "ui/GuiGuard.h"
#include "ui/ServerCombo.h"

namespace {

constexpr int kMaxPort = 65535;

QLineEdit* MakePortField(QWidget* pParent, const QString& strName) {
    auto* pField = new QLineEdit(pParent);
    pField->setObjectName(strName);
    // Digits only, of any length, as the field always took; the range is checked where
    // Listen is enabled.
    pField->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), pField));
    pField->setMaximumWidth(pField->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) +
                            12);
    pField->setToolTip(QObject::tr("A port number from 1 to 65535"));
    return pField;
}

QLabel* MakeLabel(const QString& strText, QWidget* pParent) {
    auto* pLabel = new QLabel(strText, pParent);
    pLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return pLabel;
}

}  // namespace

int PortFieldValue(const QString& strText) {
    bool bOk = false;
    const qlonglong nValue = strText.trimmed().toLongLong(&bOk);
    if (!bOk || nValue < 0 || nValue > std::numeric_limits<int>::max()) {
        return 0;
    }
    return static_cast<int>(nValue);
}

CConnectionBar::CConnectionBar(QWidget* pParent) : QWidget(pParent) {
    setObjectName(QStringLiteral("connectionBar"));
    m_pUrl = new CServerCombo(this);
    m_pUrl->setObjectName(QStringLiteral("url"));
    m_pLocalPort = MakePortField(this, QStringLiteral("localPort"));
    m_pRemotePort = MakePortField(this, QStringLiteral("remotePort"));
    m_pListen = new QToolButton(this);
    m_pListen->setObjectName(QStringLiteral("listen"));
    m_pListen->setText(QString::fromStdWString(LoadResourceString(129)));
    m_pListen->setCheckable(true);
    m_pListen->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_pListen->setAutoRaise(false);
    m_pListen->setFocusPolicy(Qt::StrongFocus);
    m_pListen->setEnabled(false);
    m_pListen->setToolTip(QString::fromStdWString(LoadResourceString(32775)).section('\n', 1));
    // What a screen reader says of each field; the labels beside them are not their buddies.
    m_pUrl->setAccessibleName(tr("URL"));
    m_pUrl->setAccessibleDescription(
        tr("The server to relay to: a host name or address, or a URL; the list holds the "
           "servers used before"));
    m_pLocalPort->setAccessibleName(tr("Local Port"));
    m_pLocalPort->setAccessibleDescription(tr("The port that client programs connect to here"));
    m_pRemotePort->setAccessibleName(tr("Remote Port"));
    m_pRemotePort->setAccessibleDescription(tr("The server's port"));
    m_pListen->setAccessibleName(tr("Listen"));
    m_pListen->setAccessibleDescription(m_pListen->toolTip());

    auto* pLayout = new QHBoxLayout(this);
    pLayout->setContentsMargins(3, 3, 3, 3);
    pLayout->addWidget(MakeLabel(tr("Local Port:"), this));
    pLayout->addWidget(m_pLocalPort);
    pLayout->addSpacing(6);
    pLayout->addWidget(MakeLabel(tr("URL:"), this));
    pLayout->addWidget(m_pUrl, 1);
    pLayout->addSpacing(6);
    pLayout->addWidget(MakeLabel(tr("Remote Port:"), this));
    pLayout->addWidget(m_pRemotePort);
    pLayout->addSpacing(6);
    pLayout->addWidget(m_pListen);

    // The URL box first, then the ports, whatever the order on screen.
    setTabOrder(m_pUrl, m_pLocalPort);
    setTabOrder(m_pLocalPort, m_pRemotePort);
    setTabOrder(m_pRemotePort, m_pListen);

    auto guarded = [this](auto fn) {
        return [this, fn](auto&&...) {
            GuiGuard(kFieldsFailed, MB_ICONEXCLAMATION, MainWindowHandle(), [&] { fn(this); });
        };
    };
    connect(m_pLocalPort, &QLineEdit::textChanged, this,
            guarded([](CConnectionBar* p) { p->CheckConnectionFields(); }));
    connect(m_pRemotePort, &QLineEdit::textChanged, this,
            guarded([](CConnectionBar* p) { p->CheckConnectionFields(); }));
    connect(m_pRemotePort, &QLineEdit::textEdited, this, [this] { m_bRemoteFromUrl = false; });
    connect(m_pUrl, &QComboBox::editTextChanged, this,
            guarded([](CConnectionBar* p) { p->CheckConnectionFields(); }));
    connect(m_pUrl, qOverload<int>(&QComboBox::activated), this,
            guarded([](CConnectionBar* p) { p->ApplySelectedServer(); }));
    connect(m_pListen, &QToolButton::clicked, this, [this] {
        GuiGuard(kListenBarFailed, MB_ICONERROR, nullptr, [&] { emit listenClicked(); });
    });
}

CConnectionBar::~CConnectionBar() {
    GuiGuard(kFieldsFailed, MB_ICONEXCLAMATION, MainWindowHandle(), [&] { StoreSelection(); });
}

void CConnectionBar::Initialise() {
    CRegKeyTalvex regKey;
    regKey.LoadServers(*m_pUrl);
    m_bInitialised = true;
    ApplySelectedServer();
    CheckConnectionFields();
}

void CConnectionBar::StoreSelection() {
    if (!m_bInitialised) {
        return;
    }
    const int nPosition = m_pUrl->SelectedPosition();
    if (nPosition >= 0) {
        CRegKeyTalvex regKey;
        regKey.SetDefaultServerID(nPosition);
    }
}

std::wstring CConnectionBar::GetUrl() const {
    return m_pUrl->currentText().toStdWString();
}

int CConnectionBar::GetLocalPort() const {
    return PortFieldValue(m_pLocalPort->text());
}

int CConnectionBar::GetRemotePort() const {
    return PortFieldValue(m_pRemotePort->text());
}

void CConnectionBar::UpdateListenState(UINT nId, bool bListening) {
    if (nId != ID_TOOLS_LISTEN) {
        return;
    }
    m_pListen->setChecked(bListening);
    m_pUrl->setEnabled(!bListening);
    m_pLocalPort->setEnabled(!bListening);
    m_pRemotePort->setEnabled(!bListening);
}

void CConnectionBar::EnableCommand(UINT nId, bool bEnable) {
    if (nId == ID_TOOLS_LISTEN) {
        m_pListen->setEnabled(bEnable);
    }
}

void CConnectionBar::CheckConnectionFields() {
    std::wstring strWhy;
    const std::optional<CServerUrl> server = ParseServerUrl(GetUrl(), &strWhy);
    // A port in the URL ("http://127.0.0.1:28080/path") fills an empty Remote Port, and
    // keeps it in step while the URL is typed, until the user edits the port.
    const QString strUrlPort =
        server && server->nPort > 0 ? QString::number(server->nPort) : QString();
    if (m_pRemotePort->isEnabled() && (m_pRemotePort->text().isEmpty() || m_bRemoteFromUrl) &&
        m_pRemotePort->text() != strUrlPort) {
        m_bRemoteFromUrl = !strUrlPort.isEmpty();
        m_pRemotePort->setText(strUrlPort);  // which checks the fields again
        return;
    }
    const int nLocal = GetLocalPort();
    const int nRemote = GetRemotePort();
    // A number beyond 65535 would reach the socket layer cut to 16 bits and name another
    // port: such a field keeps Listen disabled, as an empty one does. So does a URL box
    // that names no host, with the reason in the status bar.
    const bool bEnable = nLocal > 0 && nLocal <= kMaxPort && nRemote > 0 && nRemote <= kMaxPort &&
                         server.has_value();
    g_Module.EnableCommand(ID_TOOLS_LISTEN, bEnable);
    if (!server) {
        g_Module.SetStatusText(strWhy, STATUS_PANE_TEXT);
        m_bReasonShown = true;
    } else if (m_bReasonShown) {
        g_Module.SetStatusTextRes(57345);  // "Ready"
        m_bReasonShown = false;
    }
}

void CConnectionBar::ApplySelectedServer() {
    const std::optional<ServerPorts> ports = m_pUrl->SelectedPorts();
    if (!ports) {
        return;
    }
    m_bRemoteFromUrl = false;
    const DWORD nRemote = ports->nPortRemote != 0 ? ports->nPortRemote : ports->nPort;
    m_pLocalPort->setText(QString::number(ports->nPort));
    m_pRemotePort->setText(QString::number(nRemote));
}

QLineEdit* CConnectionBar::FocusedField(bool bNeedSelection) const {
    for (QLineEdit* pField : {m_pUrl->lineEdit(), m_pLocalPort, m_pRemotePort}) {
        if (pField != nullptr && pField->hasFocus() &&
            (!bNeedSelection || pField->hasSelectedText())) {
            return pField;
        }
    }
    return nullptr;
}

bool CConnectionBar::Cut() {
    if (QLineEdit* pField = FocusedField(true)) {
        pField->cut();
        return true;
    }
    return false;
}

bool CConnectionBar::Copy() {
    if (QLineEdit* pField = FocusedField(true)) {
        pField->copy();
        return true;
    }
    return false;
}

bool CConnectionBar::Paste() {
    if (QLineEdit* pField = FocusedField(false)) {
        pField->paste();
        return true;
    }
    return false;
}
