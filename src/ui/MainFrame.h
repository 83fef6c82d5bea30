// The program's only top-level window: menus, toolbar, status bar, the output pane with the
// connection bar and the traffic log, the routing of commands and of the messages that
// worker threads send, the title with the modified mark and the question before closing.
#pragma once

#include <QFont>
#include <QMainWindow>
#include <QPointer>

#include <map>
#include <memory>

#include "capture/ListenToggle.h"
#include "capture/NetConditions.h"
#include "ui/ConnectionBar.h"
#include "ui/LogPane.h"
#include "ui/QtMessageWindow.h"

class QAction;
class QLabel;
class QMenu;
class QSplitter;
class QTimer;
class QToolBar;
class QVBoxLayout;
class CQtMessageBoxes;
class CPrintCommands;
class CSessionPane;
class CLogDocument;
class CFindBar;
class CLogPresentation;
class CLogView;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // GUI thread. Builds the window around the log and makes it the module's main window.
    explicit CMainFrame(std::unique_ptr<ILogPane> pLogPane, QWidget* pParent = nullptr);
    // GUI thread. Call ShutDown first when sessions may still run.
    ~CMainFrame() override;

    // GUI thread. After the window has closed: carries out the deletions of the sessions
    // that are still ending, for at most `timeoutMs`; whether all of them ended.
    bool ShutDown(int nTimeoutMs);

    // GUI thread. One message of the protocol, as the workers' messages arrive.
    LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam);
    // GUI thread. A command, from a menu, a button or a posted WM_COMMAND.
    void OnCommand(UINT nId, LPARAM lParam);

    // The handle that names this window in the core (owner of message boxes).
    HWND Handle() { return static_cast<HWND>(static_cast<IMainWindow*>(m_pBridge.get())); }
    CQtMessageWindow& Bridge() { return *m_pBridge; }
    QAction* Action(UINT nId) const;
    CConnectionBar* ConnectionBar() const { return m_pConnectionBar; }
    ILogPane& LogPane() const { return *m_pLogPane; }
    QToolBar* MainToolBar() const { return m_pToolBar; }
    QMenu* RecentMenu() const { return m_pRecentMenu; }
    QString StatusText(int nPane) const;
    bool IsListening() const { return m_listen.IsListening(); }
    CListenToggle& ListenToggle() { return m_listen; }
    CPrintCommands& PrintCommands() { return *m_pPrint; }
    // The session list in the top pane; null when the log keeps no records.
    CSessionPane* SessionPane() const { return m_pSessionPane; }
    // GUI thread. Shows the log's line that holds the text offset (a marker line's leading
    // line break is skipped); the log stops following new traffic.
    void ShowLogOffset(std::uint64_t nOffset);
    // GUI thread. Shows only the blocks of session row `nRow` (with their marker lines) in
    // place of the log, and its new blocks as they arrive; ShowAllSessions brings the
    // whole log back.
    void ShowOnlySession(std::uint32_t nRow);
    void ShowAllSessions();
    // The view of one session's blocks while it is shown; null otherwise.
    QWidget* SessionFilterView() const;
    // The view of the log on screen: the log's own, one session's or the hex dump's; null
    // when the log pane has no log view.
    CLogView* ShownLogView() const;
    // The find bar under the log; null when the log pane has no log view.
    CFindBar* FindBar() const { return m_pFindBar; }

signals:
    // The window has closed for good (the program ends).
    void closed();

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    bool event(QEvent* pEvent) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreatePanes();
    QAction* AddAction(UINT nId, const QString& strText, const char* pszIcon = nullptr);

    void OnListen(bool bFlag);
    // Hands the connection bar's fields to the bridge, which answers the sessions' question
    // for them on their own threads; called whenever a field changes.
    void UpdateConnectionAnswer();
    void ListenUiUpdate();
    void OnEnableCommand(UINT nId, bool bEnable);
    void OnIdle();
    void RefreshTitle();
    void ShowLogContextMenu(HWND hwnd, LPARAM lPoint);
    void SetStatusText(int nPane, const QString& strText);
    void ShowAbout();
    // Whether the window may close now; stops listening first when it listens.
    bool QueryClose();
    // Enables File > Export > "Packet Capture (pcapng)..." only while the log has recorded
    // blocks, and says why not in its tip.
    void UpdateExportAction();

    // Whether new traffic moves the log's view (and the presentation's) to the end.
    void SetFollow(bool bFollow);
    // View > Timestamps and View > Hex Dump as their menu items are checked; stored.
    void ApplyViewChoice(UINT nId);

    void RestoreLayout();
    // The log's look (MainFrameLook.cpp): colour by direction, the font and its zoom.
    void CreateLookActions();
    void AddLookMenu(QMenu* pView);
    void OnLookCommand(UINT nId);
    void RestoreLook();
    void ApplyLogFont();
    QFont m_logFont;  // the chosen font (the system's fixed-width font by default)
    int m_nZoom = 0;  // points added to it
    void SaveLayout();

    // Declared first: destroyed last, after everything that may still send to it.
    std::unique_ptr<CQtMessageWindow> m_pBridge;
    std::unique_ptr<CQtMessageBoxes> m_pBoxes;
    std::unique_ptr<ILogPane> m_pLogPane;
    CListenToggle m_listen;
    std::map<UINT, QAction*> m_actions;
    QPointer<CConnectionBar> m_pConnectionBar;
    QSplitter* m_pSplitter = nullptr;
    CSessionPane* m_pSessionPane = nullptr;
    // What the output pane shows of the log: the log's view, or one session or the hex
    // dump in its place (View > Hex Dump, "Show Only This Session").
    std::unique_ptr<CLogPresentation> m_pPresentation;
    CFindBar* m_pFindBar = nullptr;
    // The find bar's state while the view it searches is replaced.
    struct CFindState {
        bool bKept = false;
        bool bOpen = false;
        QString strText;
        bool bMatchCase = false;
        bool bRegex = false;
    } m_findState;
    void CreateFindBar(QWidget* pOutput, QVBoxLayout* pLayout);
    // Makes what shows the log over its own view, the find bar following the view shown.
    void CreatePresentation(CLogView& logView, QWidget* pOutput, QVBoxLayout* pLayout);
    void OnFindCommand(UINT nId);
    QToolBar* m_pToolBar = nullptr;
    QMenu* m_pRecentMenu = nullptr;
    QMenu* m_pContextMenu = nullptr;
    QLabel* m_pStatusPanes[2] = {nullptr, nullptr};
    // The panes' own texts. The labels show them on a short timer: sessions post several
    // texts each, far more than a person can read, and a label costs a layout per change.
    QString m_strPaneTexts[2];
    QString m_strPrompt;  // a command's prompt that covers pane 1 while its item is highlighted
    QTimer* m_pStatusTimer = nullptr;
    // "Network conditions on" at the right of the status bar while they are; their text
    // as its tooltip.
    QLabel* m_pConditionsPane = nullptr;
    void ShowNetConditions(const CNetConditions& active);
    void ShowStatusPanes();
    QTimer* m_pIdleTimer = nullptr;
    bool m_bModifiedMark = false;
    bool m_bClosed = false;
    // Printing and its preview; goes before the widgets it puts back into the window.
    std::unique_ptr<CPrintCommands> m_pPrint;
};
