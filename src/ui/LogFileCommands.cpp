#include "ui/LogFileCommands.h"

#include <QApplication>
#include <QFileDialog>
#include <QMenu>

#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "module/MyModule.h"
#include "platform/SystemText.h"
#include "platform/WinError.h"
#include "platform/WinFormat.h"
#include "support/Exception.h"
#include "support/ResourceStrings.h"
#include "support/ShowMessage.h"
#include "support/SystemErrorText.h"
#include "ui/DelayedProgress.h"

namespace {

constexpr UINT IDS_UNTITLED = 131;
constexpr UINT IDS_SAVE_CHANGES = 133;
constexpr UINT IDS_SAVE_AS_TITLE = 134;
constexpr UINT IDS_ALL_FILES = 135;
constexpr UINT IDS_TEXT_FILES = 136;
constexpr UINT IDS_CREATE_FAILED = 137;
constexpr UINT IDS_LOAD_FAILED = 139;

QString FileNameOf(const QString& strPath) {
    const qsizetype nSlash = strPath.lastIndexOf(QLatin1Char('/'));
    return nSlash < 0 ? strPath : strPath.mid(nSlash + 1);
}

}  // namespace

CLogFileCommands::CLogFileCommands(CLogDocument& doc, QWidget* pDialogParent, QObject* pParent)
    : QObject(pParent),
      m_doc(doc),
      m_pDialogParent(pDialogParent),
      m_strTitle(QString::fromStdWString(LoadResourceString(IDS_UNTITLED))),
      m_bLastModified(doc.IsModified()) {
    m_fnSaveDialog = &CLogFileCommands::runSaveDialog;
    m_fnOpenDialog = [](QWidget* pParent, const QString& strCaption, const QString& strPath,
                        const QString& strFilter) {
        return QFileDialog::getOpenFileName(pParent, strCaption, strPath, strFilter);
    };
    m_recent.ReadFromRegistry();
    connect(&m_modifiedTimer, &QTimer::timeout, this, &CLogFileCommands::pollModified);
    m_modifiedTimer.start(100);
    // Any appending thread: the report goes to the GUI thread and is handled there.
    m_doc.SetSpoolStatusHandler([this](const CSpoolStatus& status) {
        const QString strFolder = QString::fromStdString(status.strFolder);
        QMetaObject::invokeMethod(
            this,
            [this, status, strFolder] { onSpoolStatus(status.bFailing, status.nErrno, strFolder); },
            Qt::QueuedConnection);
    });
}

CLogFileCommands::~CLogFileCommands() {
    m_doc.SetSpoolStatusHandler({});  // waits for an append that may be reporting now
}

bool CLogFileCommands::isModified() const {
    return m_doc.IsModified();
}

bool CLogFileCommands::guarded(const std::function<bool()>& fn) {
    try {
        return fn();
    } catch (...) {
        ShowMessage(L"ERROR: CTapvaneView failed! " + TakeCaughtText(L"Unhandled exception!"),
                    MB_ICONEXCLAMATION, m_hwndOwner);
        return false;
    }
}

void CLogFileCommands::pollModified() {
    const bool bModified = m_doc.IsModified();
    if (bModified != m_bLastModified) {
        m_bLastModified = bModified;
        emit titleChanged();
    }
}

bool CLogFileCommands::promptSaveChanges() {
    return guarded([this] {
        if (!m_doc.IsModified()) {
            return true;
        }
        std::wstring strText;
        FormatResource(strText, IDS_SAVE_CHANGES, m_strTitle.toStdWString());
        const int nAnswer = ShowMessage(strText, MB_YESNOCANCEL | MB_ICONEXCLAMATION, m_hwndOwner);
        if (nAnswer == IDCANCEL) {
            return false;
        }
        if (nAnswer == IDYES) {
            if (m_bUntitled) {
                return saveAsImpl();
            }
            if (!writeTo(m_strPath)) {
                return false;
            }
            noteSaved(m_strPath);
        }
        return true;
    });
}

bool CLogFileCommands::newLog() {
    return guarded([this] {
        if (!promptSaveChanges()) {
            return false;
        }
        m_doc.Clear();
        m_strPath.clear();
        m_strTitle = QString::fromStdWString(LoadResourceString(IDS_UNTITLED));
        m_bUntitled = true;
        m_bLastModified = false;
        emit titleChanged();
        return true;
    });
}

bool CLogFileCommands::save() {
    return guarded([this] {
        if (m_strPath.isEmpty()) {
            return saveAsImpl();
        }
        if (!writeTo(m_strPath)) {
            return false;
        }
        noteSaved(m_strPath);
        return true;
    });
}

bool CLogFileCommands::saveAs() {
    return guarded([this] { return saveAsImpl(); });
}

QString CLogFileCommands::fileFilter() {
    return QString::fromStdWString(LoadResourceString(IDS_TEXT_FILES)) +
           QStringLiteral(" (*.txt);;") +
           QString::fromStdWString(LoadResourceString(IDS_ALL_FILES)) + QStringLiteral(" (*.*)");
}

QString CLogFileCommands::runSaveDialog(QWidget* pParent, const QString& strCaption,
                                        const QString& strPath, const QString& strFilter) {
    QFileDialog dialog(pParent, strCaption, strPath, strFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setObjectName(QStringLiteral("saveLogDialog"));
    // With the text filter chosen, a name without an extension gets ".txt"; the dialog adds
    // it before it asks whether to replace a file, so the question names the real file.
    const QString strTextFilter = strFilter.section(QStringLiteral(";;"), 0, 0);
    const auto suffixFor = [&dialog, strTextFilter](const QString& strChosen) {
        dialog.setDefaultSuffix(strChosen == strTextFilter ? QStringLiteral("txt") : QString());
    };
    suffixFor(dialog.selectedNameFilter());
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, suffixFor);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().front();
}

bool CLogFileCommands::openFile() {
    return guarded([this] {
        const QString strPath = m_fnOpenDialog(m_pDialogParent, QStringLiteral("Open"),
                                               m_bUntitled ? QString() : m_strPath, fileFilter());
        if (strPath.isEmpty()) {
            return false;
        }
        if (!makeRoomForLoad()) {
            return false;
        }
        const DWORD dwLoad = loadFrom(strPath);
        if (dwLoad == 0) {
            m_recent.Add(strPath.toStdWString());
            m_recent.WriteToRegistry();
            rebuildRecentMenu();
            emit recentListChanged();
        }
        return dwLoad == 0;
    });
}

bool CLogFileCommands::makeRoomForLoad() {
    if (m_fnIsListening && m_fnIsListening()) {
        // Listening stops without closing the window when its last session ends; a log
        // with nothing in it has nothing to save.
        g_Module.StopListening();
        return (m_bUntitled && m_doc.GetSize() == 0) || saveAsImpl();
    }
    return promptSaveChanges() || saveAsImpl();
}

bool CLogFileCommands::saveAsImpl() {
    const QString strFilter = fileFilter();
    const QString strPath = m_fnSaveDialog(
        m_pDialogParent, QString::fromStdWString(LoadResourceString(IDS_SAVE_AS_TITLE)), m_strPath,
        strFilter);
    if (strPath.isEmpty() || !writeTo(strPath)) {
        return false;
    }
    m_strPath = strPath;
    m_strTitle = FileNameOf(strPath);
    m_bUntitled = false;
    noteSaved(strPath);
    return true;
}

void CLogFileCommands::noteSaved(const QString& strPath) {
    m_recent.Add(strPath.toStdWString());
    m_recent.WriteToRegistry();
    rebuildRecentMenu();
    m_bLastModified = m_doc.IsModified();
    emit recentListChanged();
    emit titleChanged();
}

bool CLogFileCommands::writeTo(const QString& strPath) {
    CDelayedProgress progress(m_pDialogParent, strPath);
    const DWORD dwError = m_doc.SaveTo(
        strPath.toStdWString(),
        [&](std::uint64_t nDone, std::uint64_t nTotal) { return progress.Step(nDone, nTotal); });
    if (dwError != 0 && dwError != ERROR_OPERATION_ABORTED) {
        std::wstring strText;
        FormatResource(strText, IDS_CREATE_FAILED, strPath.toStdWString(),
                       GetSystemErrorText(dwError));
        ShowMessage(strText, MB_ICONERROR, m_hwndOwner);
    }
    return dwError == 0;
}

DWORD CLogFileCommands::loadFrom(const QString& strPath) {
    CDelayedProgress progress(m_pDialogParent, strPath);
    const DWORD dwError = m_doc.LoadFrom(
        strPath.toStdWString(),
        [&](std::uint64_t nDone, std::uint64_t nTotal) { return progress.Step(nDone, nTotal); });
    if (dwError == 0) {
        m_strPath = strPath;
        m_strTitle = FileNameOf(strPath);
        m_bUntitled = false;
        m_bLastModified = false;
        emit titleChanged();
    } else if (dwError != ERROR_OPERATION_ABORTED) {
        std::wstring strText;
        FormatResource(strText, IDS_LOAD_FAILED, strPath.toStdWString(),
                       GetSystemErrorText(dwError));
        ShowMessage(strText, MB_ICONERROR, m_hwndOwner);
    }
    return dwError;
}

bool CLogFileCommands::openRecent(int nIndex) {
    return guarded([this, nIndex] {
        // The entry is taken before a Save As below can put another file on top.
        const std::wstring strPath = m_recent.Get(nIndex);
        if (!makeRoomForLoad()) {
            return false;
        }
        if (strPath.empty()) {
            QApplication::beep();
            return false;
        }
        const DWORD dwLoad = loadFrom(QString::fromStdWString(strPath));
        const std::vector<std::wstring>& entries = m_recent.GetEntries();
        for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
            if (entries[static_cast<std::size_t>(i)] == strPath) {
                if (dwLoad == 0) {
                    m_recent.MoveToTop(i);
                } else if (dwLoad != ERROR_OPERATION_ABORTED) {
                    m_recent.Remove(i);  // a cancelled load says nothing against the file
                }
                break;
            }
        }
        m_recent.WriteToRegistry();
        rebuildRecentMenu();
        emit recentListChanged();
        return dwLoad == 0;
    });
}

void CLogFileCommands::attachRecentMenu(QMenu* pMenu) {
    m_pRecentMenu = pMenu;
    if (pMenu != nullptr && pMenu->title().isEmpty()) {
        pMenu->setTitle(QStringLiteral("Recent &Files"));
    }
    rebuildRecentMenu();
}

void CLogFileCommands::rebuildRecentMenu() {
    QMenu* pMenu = m_pRecentMenu;
    if (pMenu == nullptr) {
        return;
    }
    pMenu->clear();
    if (m_recent.GetCount() == 0) {
        pMenu->addAction(QStringLiteral("(empty)"))->setEnabled(false);
        return;
    }
    for (int i = 0; i < m_recent.GetCount(); ++i) {
        // A "&" of the path is text, not a mnemonic.
        const QString strShown =
            QString::fromStdWString(CRecentFileList::DisplayPath(m_recent.Get(i)))
                .replace(QLatin1Char('&'), QStringLiteral("&&"));
        const QString strText =
            QString::fromStdWString(win::FormatW(L"&%i %s", i + 1, strShown.toStdWString()));
        connect(pMenu->addAction(strText), &QAction::triggered, this, [this, i] { openRecent(i); });
    }
}

void CLogFileCommands::onSpoolStatus(bool bFailing, int nErrno, const QString& strFolder) {
    if (!bFailing) {
        const QString strText = QStringLiteral("The traffic log is written again");
        g_Module.SetStatusText(strText.toStdWString(), STATUS_PANE_TEXT);
        emit spoolFailureChanged(false, strText);
        return;
    }
    const std::wstring strSystem = GetSystemErrorText(win::Win32ErrorFromErrno(nErrno));
    const QString strText = QString::fromStdWString(
        win::FormatW(L"The traffic log cannot be written to its spool folder \"%s\"! %s"
                     L"Traffic is still relayed; the log goes on when there is room again.",
                     strFolder.toStdWString(), strSystem));
    g_Module.SetStatusText(strText.toStdWString(), STATUS_PANE_TEXT);
    emit spoolFailureChanged(true, strText);
    ShowMessage(strText.toStdWString(), MB_ICONEXCLAMATION, m_hwndOwner);
}
