// The document state of the traffic log and its file commands: the title ("Untitled" or
// the file's name), the path, New with its save-changes question, Save, Save As, opening a
// recent file, and the "Recent Files" menu. The modified flag is the document's own.
//
// GUI thread only. Every command catches what it raises and shows it in the view's error
// box, so that nothing reaches the event loop. Spool write failures of the document are
// reported here too: in status pane 1 and in one message box per failure.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

#include "logdoc/RecentFileList.h"
#include "platform/WinTypes.h"
#include "ui/DelayedProgress.h"

class CLogDocument;
class QMenu;
class QWidget;

class CLogFileCommands : public QObject {
    Q_OBJECT

public:
    // The save dialog: parent, caption, initial path, filters -> the chosen path, empty
    // when cancelled. Replaceable for tests.
    using SaveDialogFn =
        std::function<QString(QWidget*, const QString&, const QString&, const QString&)>;

    // Save or load shows a progress dialog once it has taken this long.
    static constexpr int kProgressDelayMs = CDelayedProgress::kDelayMs;

    // `pDialogParent` owns the dialogs (the main window); may be null. Reads the recent
    // list from the registry.
    CLogFileCommands(CLogDocument& doc, QWidget* pDialogParent, QObject* pParent = nullptr);
    ~CLogFileCommands() override;

    QString title() const { return m_strTitle; }
    QString path() const { return m_strPath; }
    bool isUntitled() const { return m_bUntitled; }
    bool isModified() const;

    // Whether Tapvane listens now (set by the main window; without it: not listening).
    void setListeningQuery(std::function<bool()> fn) { m_fnIsListening = std::move(fn); }
    void setSaveDialog(SaveDialogFn fn) { m_fnSaveDialog = std::move(fn); }
    // The open dialog, with the same parameters as the save dialog.
    void setOpenDialog(SaveDialogFn fn) { m_fnOpenDialog = std::move(fn); }
    // The save dialog of the program: asks before replacing a file, and adds ".txt" to a
    // name without an extension while the text filter (the first) is chosen.
    static QString runSaveDialog(QWidget* pParent, const QString& strCaption,
                                 const QString& strPath, const QString& strFilter);
    // The window that owns the save dialog and the progress dialogs.
    void setDialogParent(QWidget* pParent) { m_pDialogParent = pParent; }
    // The window that owns the message boxes (passed to ShowMessage); null: the active one.
    void setMessageOwner(HWND hwnd) { m_hwndOwner = hwnd; }

    // The save-changes question; true when the caller may go on (Cancel: false; Yes: only
    // after a successful save).
    bool promptSaveChanges();

    // Fills `pMenu` with the recent files ("&1 path"...), or a greyed "(empty)", and keeps
    // it so from now on.
    void attachRecentMenu(QMenu* pMenu);
    const CRecentFileList& recentList() const { return m_recent; }

public slots:
    // New: asks to save changes, then clears the log. True when cleared.
    bool newLog();
    // Save: to the path, or Save As for an untitled log. True when saved.
    bool save();
    bool saveAs();
    // Loads recent file `nIndex` (0 the most recent). True when loaded.
    bool openRecent(int nIndex);
    // File > Open: asks for any log file and loads it (it joins the recent files). True
    // when loaded.
    bool openFile();

signals:
    // The title or the modified flag changed: the main window recomputes its title.
    void titleChanged();
    void recentListChanged();
    // The spool of the log could not be written (true) or can be again (false).
    void spoolFailureChanged(bool bFailing, const QString& strText);

private:
    // Writes the log to the path; shows the create error box on failure.
    bool writeTo(const QString& strPath);
    // Loads the log from the path; shows the load error box on failure (not when the user
    // cancelled). 0 or the error.
    DWORD loadFrom(const QString& strPath);
    bool saveAsImpl();
    // Before another log is loaded: stops listening or asks to save the changes. False
    // when the user cancelled.
    bool makeRoomForLoad();
    static QString fileFilter();
    void noteSaved(const QString& strPath);
    void rebuildRecentMenu();
    void pollModified();
    void onSpoolStatus(bool bFailing, int nErrno, const QString& strFolder);
    // Runs fn and shows any exception in the view's error box; fn's result or false.
    bool guarded(const std::function<bool()>& fn);

    CLogDocument& m_doc;
    QPointer<QWidget> m_pDialogParent;
    QPointer<QMenu> m_pRecentMenu;
    CRecentFileList m_recent;
    QString m_strTitle;
    QString m_strPath;
    bool m_bUntitled = true;
    bool m_bLastModified = false;
    QTimer m_modifiedTimer;
    std::function<bool()> m_fnIsListening;
    SaveDialogFn m_fnSaveDialog;
    SaveDialogFn m_fnOpenDialog;
    HWND m_hwndOwner = nullptr;
};
