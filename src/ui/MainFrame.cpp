#include "ui/MainFrame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "capture/ClientCount.h"
#include "capture/ReplaySessions.h"
#include "capture/SocketAccept.h"
#include "capture/SocketClient.h"
#include "capture/StoredNetConditions.h"
#include "logdoc/LogDocument.h"
#include "module/MyModule.h"
#include "support/ResourceStrings.h"
#include "support/Trace.h"
#include "ui/AppIcons.h"
#include "ui/CommandIds.h"
#include "ui/ConnectionBar.h"
#include "ui/FindBar.h"
#include "ui/GuiGuard.h"
#include "ui/LogPresentation.h"
#include "ui/LogView.h"
#include "ui/PrintCommands.h"
#include "ui/QtMessageBoxes.h"
#include "ui/ServerCombo.h"
#include "ui/SessionPane.h"

namespace {

constexpr int kStatusTextMax = 250;
constexpr int kSessionPaneWidth = 150;
constexpr int kIdleIntervalMs = 100;
constexpr int kStatusIntervalMs = 50;

// The status-bar prompt of a command: its string up to the "\n" before the tool tip.
QString CommandPrompt(UINT nId) {
    return QString::fromStdWString(LoadResourceString(nId)).section(QLatin1Char('\n'), 0, 0);
}

QString CommandToolTip(UINT nId) {
    return QString::fromStdWString(LoadResourceString(nId)).section(QLatin1Char('\n'), 1, 1);
}

}  // namespace

CMainFrame::CMainFrame(std::unique_ptr<ILogPane> pLogPane, QWidget* pParent)
    : QMainWindow(pParent), m_pLogPane(std::move(pLogPane)) {
    // The module's main window first: the parts built below already send it messages.
    m_pBridge = std::make_unique<CQtMessageWindow>(
        m_pLogPane->Sink(), [this](UINT nMsg, WPARAM wParam, LPARAM lParam) {
            LRESULT lResult = 0;
            GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr,
                     [&] { lResult = WindowProc(nMsg, wParam, lParam); });
            return lResult;
        });
    g_Module.SetMainWindow(m_pBridge.get());
    // This thread runs the window: it must never take the module lock.
    g_Module.SetGuiThread(std::this_thread::get_id());
    m_pBoxes = std::make_unique<CQtMessageBoxes>(this, Handle());

    setObjectName(QStringLiteral("mainFrame"));
    setWindowIcon(AppIcon());
    setWindowTitle(QString::fromStdWString(LoadResourceString(128)));
    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    CreatePanes();
    m_pPrint = std::make_unique<CPrintCommands>(
        this, *m_pLogPane, m_pToolBar, [this](UINT nId) { return Action(nId); },
        [this](const QString& strText) {
            // Texts that sessions posted before this one come first, as they were sent first.
            m_pBridge->DeliverPending();
            SetStatusText(1, strText);
        },
        [this] { return StatusText(1); });

    GuiGuard(kFieldsFailed, MB_ICONEXCLAMATION, Handle(), [&] { m_pConnectionBar->Initialise(); });
    UpdateConnectionAnswer();
    for (QLineEdit* pField :
         {m_pConnectionBar->LocalPortField(), m_pConnectionBar->RemotePortField()}) {
        connect(pField, &QLineEdit::textChanged, this, &CMainFrame::UpdateConnectionAnswer);
    }
    connect(m_pConnectionBar->UrlBox(), &QComboBox::currentTextChanged, this,
            &CMainFrame::UpdateConnectionAnswer);
    connect(m_pConnectionBar->UrlBox(), &QComboBox::editTextChanged, this,
            &CMainFrame::UpdateConnectionAnswer);
    m_pLogPane->SetListeningQuery([this] { return m_listen.IsListening(); });
    m_pLogPane->SetDialogParent(this);
    GuiGuard(kViewFailed, MB_ICONEXCLAMATION, Handle(),
             [&] { m_pLogPane->AttachRecentMenu(m_pRecentMenu); });
    RestoreLayout();

    m_pIdleTimer = new QTimer(this);
    m_pIdleTimer->setInterval(kIdleIntervalMs);
    connect(m_pIdleTimer, &QTimer::timeout, this,
            [this] { GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr, [&] { OnIdle(); }); });
    m_pIdleTimer->start();
    // The idle timer flushes the trace: lines go to a file or a journal in blocks.
    SetTraceFlushedByCaller(true);
    OnIdle();
    RefreshTitle();
    // A user starts with the server: the URL box has the focus.
    m_pConnectionBar->UrlBox()->setFocus();
}

CMainFrame::~CMainFrame() {
    m_pIdleTimer->stop();
    SetTraceFlushedByCaller(false);
    // Replays log into the document that goes with this window: they end first.
    ReplaySessions().StopAll();
    ReplaySessions().WaitAll(std::chrono::seconds(5));
    m_pBoxes->CloseAll();
    m_pBridge->Destroy();
    if (g_Module.GetMainWindow() == m_pBridge.get()) {
        g_Module.SetMainWindow(nullptr);
        g_Module.SetGuiThread(std::thread::id());
    }
    // The widgets go before the bridge and the listener: the connection bar stores the
    // selected server as it goes, and the log view must not outlive its document, which
    // the log pane (a member) owns.
    delete m_pConnectionBar.data();
    delete m_pFindBar;  // its searches read the log, it marks a view: it ends first
    m_pPresentation.reset();
    delete m_pLogPane->View();
}

bool CMainFrame::ShutDown(int nTimeoutMs) {
    m_pBridge->Destroy();
    // Sessions that were asked to stop post their own deletion when their thread ends.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        m_pBridge->DeliverPending();
        if (m_listen.GetListener().GetRegistry().GetCount() == 0 && g_nClientsCount == 0) {
            return true;
        }
        if (timer.elapsed() > nTimeoutMs) {
            return false;
        }
        QThread::msleep(5);
    }
}

void CMainFrame::UpdateConnectionAnswer() {
    m_pBridge->SetConnectionAnswer({m_pConnectionBar->GetUrl(), m_pConnectionBar->GetLocalPort(),
                                    m_pConnectionBar->GetRemotePort()});
}

QAction* CMainFrame::AddAction(UINT nId, const QString& strText, const char* pszIcon) {
    auto* pAction = new QAction(strText, this);
    if (pszIcon != nullptr) {
        pAction->setIcon(ThemeIcon(pszIcon));
    }
    pAction->setStatusTip(CommandPrompt(nId));
    if (const QString strTip = CommandToolTip(nId); !strTip.isEmpty()) {
        pAction->setToolTip(strTip);
    }
    pAction->setData(nId);
    connect(pAction, &QAction::triggered, this, [this, nId] { OnCommand(nId, 0); });
    m_actions[nId] = pAction;
    return pAction;
}

QAction* CMainFrame::Action(UINT nId) const {
    auto it = m_actions.find(nId);
    return it == m_actions.end() ? nullptr : it->second;
}

void CMainFrame::CreateActions() {
    AddAction(ID_FILE_NEW, tr("&New"), "document-new")->setShortcut(QKeySequence(tr("Ctrl+N")));
    AddAction(ID_FILE_OPEN, tr("&Open..."), "document-open")
        ->setShortcut(QKeySequence(tr("Ctrl+O")));
    AddAction(ID_FILE_SAVE, tr("&Save"), "document-save")->setShortcut(QKeySequence(tr("Ctrl+S")));
    AddAction(ID_FILE_SAVE_AS, tr("Save &As..."));
    AddAction(ID_FILE_EXPORT_PCAP, tr("Packet Capture (pcapng)..."))
        ->setStatusTip(tr("Write every session of the log as a packet capture"));
    AddAction(ID_FILE_EXPORT_HAR, tr("HTTP Archive (HAR)..."))
        ->setStatusTip(tr("Write the HTTP requests and responses of the log as an HTTP archive"));
    AddAction(ID_FILE_PRINT, tr("&Print..."), "document-print")
        ->setShortcut(QKeySequence(tr("Ctrl+P")));
    AddAction(ID_FILE_PRINT_PREVIEW, tr("Print Pre&view"));
    AddAction(ID_FILE_PRINT_SETUP, tr("P&rint Setup..."));
    // The print preview's own toolbar.
    AddAction(ID_PREVIEW_PREV, tr("&Previous Page"))->setShortcut(QKeySequence(Qt::Key_PageUp));
    AddAction(ID_PREVIEW_NEXT, tr("&Next Page"))->setShortcut(QKeySequence(Qt::Key_PageDown));
    AddAction(ID_PREVIEW_CLOSE, tr("&Close Preview"))->setShortcut(QKeySequence(Qt::Key_Escape));
    AddAction(ID_APP_EXIT, tr("E&xit"));
    QAction* pCopy = AddAction(ID_EDIT_COPY, tr("&Copy"), "edit-copy");
    pCopy->setShortcuts({QKeySequence(tr("Ctrl+C")), QKeySequence(tr("Ctrl+Insert"))});
    // Shown with Ctrl+A, which only the log view itself takes while it has the focus.
    AddAction(ID_EDIT_SELECT_ALL, tr("Select All") + QLatin1Char('\t') + tr("Ctrl+A"));
    AddAction(ID_EDIT_FIND, tr("&Find..."))->setShortcut(QKeySequence(tr("Ctrl+F")));
    AddAction(ID_EDIT_REPEAT, tr("Find &Next"))->setShortcut(QKeySequence(Qt::Key_F3));
    AddAction(ID_EDIT_FIND_PREVIOUS, tr("Find Pre&vious"))
        ->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
    QAction* pToolbar = AddAction(ID_VIEW_TOOLBAR, tr("&Toolbar"));
    QAction* pStatus = AddAction(ID_VIEW_STATUS_BAR, tr("&Status Bar"));
    QAction* pFollow = AddAction(ID_VIEW_FOLLOW, tr("&Follow New Traffic"));
    pFollow->setStatusTip(tr("Keep the log scrolled to the newest traffic"));
    for (QAction* p : {pToolbar, pStatus, pFollow}) {
        p->setCheckable(true);
        p->setChecked(true);
    }
    QAction* pTimestamps = AddAction(ID_VIEW_TIMESTAMPS, tr("T&imestamps"));
    pTimestamps->setStatusTip(tr("Show the time each block arrived beside its marker line"));
    QAction* pHex = AddAction(ID_VIEW_HEX_DUMP, tr("&Hex Dump"));
    pHex->setStatusTip(tr("Show the relayed blocks as hex bytes and characters"));
    for (QAction* p : {pTimestamps, pHex}) {
        p->setCheckable(true);
        p->setChecked(false);
    }
    QAction* pListen = AddAction(ID_TOOLS_LISTEN, QString::fromStdWString(LoadResourceString(129)));
    pListen->setCheckable(true);
    pListen->setEnabled(false);
    AddAction(ID_TOOLS_OPTIONS, tr("&Options..."));
    AddAction(ID_TOOLS_TLS_CA, tr("TLS &Certificate Authority..."));
    AddAction(ID_TOOLS_NET_CONDITIONS, tr("&Network Conditions..."))
        ->setStatusTip(tr("Delay, throttle, slice, cut or reset the relayed connections"));
    AddAction(ID_HELP_FINDER, tr("&Help Topics"));
    // F1 opens the help from anywhere in the window; it is in no menu.
    QAction* pHelp = AddAction(ID_HELP, tr("Help"));
    pHelp->setShortcut(QKeySequence(Qt::Key_F1));
    addAction(pHelp);
    AddAction(ID_APP_ABOUT, tr("&About Tapvane..."), "help-about");
    CreateLookActions();
    // Only the accelerators with a handler are bound; Cut, Paste, Undo and the pane
    // keys do nothing here, while the connection bar's fields keep their own clipboard keys.
}

void CMainFrame::CreateMenus() {
    QMenu* pFile = menuBar()->addMenu(tr("&File"));
    pFile->addAction(Action(ID_FILE_NEW));
    pFile->addAction(Action(ID_FILE_OPEN));
    pFile->addAction(Action(ID_FILE_SAVE));
    pFile->addAction(Action(ID_FILE_SAVE_AS));
    QMenu* pExport = pFile->addMenu(tr("&Export"));
    pExport->addAction(Action(ID_FILE_EXPORT_PCAP));
    pExport->addAction(Action(ID_FILE_EXPORT_HAR));
    pFile->addSeparator();
    pFile->addAction(Action(ID_FILE_PRINT));
    pFile->addAction(Action(ID_FILE_PRINT_PREVIEW));
    pFile->addAction(Action(ID_FILE_PRINT_SETUP));
    pFile->addSeparator();
    m_pRecentMenu = pFile->addMenu(tr("Recent &Files"));
    m_pRecentMenu->setObjectName(QStringLiteral("recentFiles"));
    pFile->addSeparator();
    pFile->addAction(Action(ID_APP_EXIT));

    QMenu* pEdit = menuBar()->addMenu(tr("&Edit"));
    pEdit->addAction(Action(ID_EDIT_COPY));
    pEdit->addSeparator();
    pEdit->addAction(Action(ID_EDIT_SELECT_ALL));
    pEdit->addSeparator();
    pEdit->addAction(Action(ID_EDIT_FIND));
    pEdit->addAction(Action(ID_EDIT_REPEAT));
    pEdit->addAction(Action(ID_EDIT_FIND_PREVIOUS));

    QMenu* pView = menuBar()->addMenu(tr("&View"));
    pView->addAction(Action(ID_VIEW_TOOLBAR));
    pView->addAction(Action(ID_VIEW_STATUS_BAR));
    pView->addSeparator();
    pView->addAction(Action(ID_VIEW_FOLLOW));
    pView->addAction(Action(ID_VIEW_TIMESTAMPS));
    pView->addAction(Action(ID_VIEW_HEX_DUMP));
    AddLookMenu(pView);

    QMenu* pTools = menuBar()->addMenu(tr("&Tools"));
    pTools->addAction(Action(ID_TOOLS_LISTEN));
    pTools->addSeparator();
    pTools->addAction(Action(ID_TOOLS_OPTIONS));
    pTools->addAction(Action(ID_TOOLS_TLS_CA));
    pTools->addAction(Action(ID_TOOLS_NET_CONDITIONS));

    QMenu* pHelp = menuBar()->addMenu(tr("&Help"));
    pHelp->addAction(Action(ID_HELP_FINDER));
    pHelp->addSeparator();
    pHelp->addAction(Action(ID_APP_ABOUT));

    // The log view's own menu: Copy, New, Select All, sharing the commands' state.
    m_pContextMenu = new QMenu(this);
    m_pContextMenu->setObjectName(QStringLiteral("logMenu"));
    m_pContextMenu->addAction(Action(ID_EDIT_COPY));
    m_pContextMenu->addAction(Action(ID_FILE_NEW));
    m_pContextMenu->addSeparator();
    m_pContextMenu->addAction(tr("Select &All"), this,
                              [this] { OnCommand(ID_EDIT_SELECT_ALL, 0); });
}

void CMainFrame::CreateToolBar() {
    m_pToolBar = addToolBar(tr("Toolbar"));
    m_pToolBar->setObjectName(QStringLiteral("mainToolBar"));
    m_pToolBar->setMovable(false);
    m_pToolBar->toggleViewAction()->setVisible(false);  // View > Toolbar says it
    m_pToolBar->addAction(Action(ID_FILE_NEW));
    m_pToolBar->addAction(Action(ID_FILE_SAVE));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(ID_EDIT_COPY));
    m_pToolBar->addSeparator();
    m_pToolBar->addAction(Action(ID_FILE_PRINT));
    m_pToolBar->addAction(Action(ID_APP_ABOUT));
    setContextMenuPolicy(Qt::NoContextMenu);  // no toolbar menu over the window
}

void CMainFrame::ShowNetConditions(const CNetConditions& active) {
    const std::string strText = DescribeNetConditions(active);
    m_pConditionsPane->setVisible(!strText.empty());
    m_pConditionsPane->setText(tr("Network conditions on"));
    m_pConditionsPane->setToolTip(QString::fromStdString(strText));
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* pBar = statusBar();
    for (int i = 0; i < 2; ++i) {
        m_pStatusPanes[i] = new QLabel(pBar);
        m_pStatusPanes[i]->setObjectName(QStringLiteral("statusPane%1").arg(i));
        m_pStatusPanes[i]->setTextFormat(Qt::PlainText);
    }
    m_pStatusPanes[0]->setFixedWidth(kSessionPaneWidth);
    m_pStatusPanes[1]->setMinimumWidth(1);
    pBar->addWidget(m_pStatusPanes[0]);
    pBar->addWidget(m_pStatusPanes[1], 1);
    m_pConditionsPane = new QLabel(pBar);
    m_pConditionsPane->setObjectName(QStringLiteral("statusConditions"));
    m_pConditionsPane->setTextFormat(Qt::PlainText);
    pBar->addPermanentWidget(m_pConditionsPane);
    GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr,
             [&] { ShowNetConditions(ApplyStoredNetConditions()); });
    m_pStatusTimer = new QTimer(this);
    m_pStatusTimer->setSingleShot(true);
    m_pStatusTimer->setInterval(kStatusIntervalMs);
    connect(m_pStatusTimer, &QTimer::timeout, this, &CMainFrame::ShowStatusPanes);
    SetStatusText(1, QString::fromStdWString(LoadResourceString(ID_READY_PROMPT)));
    ShowStatusPanes();
}

void CMainFrame::CreatePanes() {
    auto* pOutput = new QWidget(this);
    pOutput->setObjectName(QStringLiteral("outputPane"));
    auto* pLayout = new QVBoxLayout(pOutput);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);
    m_pConnectionBar = new CConnectionBar(pOutput);
    connect(m_pConnectionBar, &CConnectionBar::listenClicked, this, [this] {
        // The bar's own button: listening stops without closing the window afterwards.
        OnCommand(ID_TOOLS_LISTEN, 1);
    });
    pLayout->addWidget(m_pConnectionBar);
    auto* pLine = new QFrame(pOutput);
    pLine->setFrameShape(QFrame::HLine);
    pLine->setFrameShadow(QFrame::Sunken);
    pLayout->addWidget(pLine);
    QWidget* pView = m_pLogPane->View();
    pView->setParent(pOutput);
    pView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(pView, &QWidget::customContextMenuRequested, this, [this, pView](const QPoint& pos) {
        const QPoint global = pView->mapToGlobal(pos);
        g_Module.ShowContextMenu(static_cast<HWND>(pView), global.x(), global.y());
    });
    pLayout->addWidget(pView, 1);
    if (auto* pLogView = qobject_cast<CLogView*>(pView)) {
        CreatePresentation(*pLogView, pOutput, pLayout);
    }
    CreateFindBar(pOutput, pLayout);

    // The session list above, the output pane below.
    m_pSplitter = new QSplitter(Qt::Vertical, this);
    m_pSplitter->setObjectName(QStringLiteral("splitter"));
    if (const CLogDocument* pDoc = m_pLogPane->Document()) {
        m_pSessionPane = new CSessionPane(
            *pDoc, [this](std::uint64_t nOffset) { ShowLogOffset(nOffset); }, m_pSplitter);
        connect(m_pSessionPane, &CSessionPane::showOnlySession, this, &CMainFrame::ShowOnlySession);
        connect(m_pSessionPane, &CSessionPane::showAllSessions, this, &CMainFrame::ShowAllSessions);
        m_pSessionPane->setShowsOneQuery(
            [this] { return m_pPresentation != nullptr && m_pPresentation->showsOneSession(); });
        m_pSessionPane->setCurrentServerQuery([this] {
            return CCurrentServer{QString::fromStdWString(m_pConnectionBar->GetUrl()),
                                  m_pConnectionBar->GetRemotePort()};
        });
        if (QAction* pFollow = Action(ID_VIEW_FOLLOW)) {
            m_pSessionPane->setFollowNewRows(pFollow->isChecked());
        }
        m_pSplitter->addWidget(m_pSessionPane);
    }
    m_pSplitter->addWidget(pOutput);
    m_pSplitter->setStretchFactor(m_pSplitter->indexOf(pOutput), 3);
    m_pSplitter->setChildrenCollapsible(false);
    setCentralWidget(m_pSplitter);
    // Keyboard order: the fields, the Listen button, then the log.
    setTabOrder(m_pConnectionBar->ListenButton(), pView);
    if (m_pFindBar != nullptr) {
        setTabOrder(pView, m_pFindBar->TextField());
    }
}

void CMainFrame::CreateFindBar(QWidget* pOutput, QVBoxLayout* pLayout) {
    CLogView* pLogView = ShownLogView();
    if (pLogView == nullptr) {
        return;  // nothing to search in
    }
    m_pFindBar = new CFindBar(*pLogView, pOutput);
    pLayout->addWidget(m_pFindBar);
    connect(m_pFindBar, &CFindBar::matchSelected, this, [this] {
        // A match stays in view: new traffic no longer moves the log (View > Follow).
        if (QAction* pFollow = Action(ID_VIEW_FOLLOW); pFollow != nullptr && pFollow->isChecked()) {
            pFollow->setChecked(false);
            SetFollow(false);
        }
    });
}

void CMainFrame::OnFindCommand(UINT nId) {
    if (m_pFindBar == nullptr) {
        return;
    }
    if (nId == ID_EDIT_FIND) {
        m_pFindBar->Open();
    } else if (nId == ID_EDIT_REPEAT) {
        m_pFindBar->FindNext();
    } else {
        m_pFindBar->FindPrevious();
    }
}

QString CMainFrame::StatusText(int nPane) const {
    return nPane == 0 || nPane == 1 ? m_strPaneTexts[nPane] : QString();
}

void CMainFrame::SetStatusText(int nPane, const QString& strText) {
    if (nPane < 0 || nPane > 1) {
        return;
    }
    m_strPaneTexts[nPane] = strText.left(kStatusTextMax);
    if (!m_pStatusTimer->isActive()) {
        m_pStatusTimer->start();
    }
}

void CMainFrame::ShowStatusPanes() {
    m_pStatusPanes[0]->setText(m_strPaneTexts[0]);
    m_pStatusPanes[1]->setText(m_strPrompt.isEmpty() ? m_strPaneTexts[1] : m_strPrompt);
}

bool CMainFrame::event(QEvent* pEvent) {
    if (pEvent->type() == QEvent::StatusTip) {
        // A command's prompt covers pane 1 while its menu item is highlighted; the pane's
        // own text comes back afterwards.
        m_strPrompt = static_cast<QStatusTipEvent*>(pEvent)->tip();
        ShowStatusPanes();
        return true;
    }
    return QMainWindow::event(pEvent);
}
