// The main window's message map, commands, idle update and closing.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "capture/SocketAccept.h"
#include "logdoc/LogDocument.h"
#include "module/MyModule.h"
#include "settings/RegKeyTalvex.h"
#include "support/ResourceStrings.h"
#include "support/ShowMessage.h"
#include "support/Trace.h"
#include "ui/AboutDialog.h"
#include "ui/CertAuthorityDialog.h"
#include "ui/CommandIds.h"
#include "ui/ConnectionBar.h"
#include "ui/GuiGuard.h"
#include "ui/HelpPages.h"
#include "ui/LogView.h"
#include "ui/MainFrame.h"
#include "ui/NetConditionsDialog.h"

#include "support/ShowMessage.h"
#include "ui/OptionsDialog.h"
#include "ui/PrintCommands.h"
#include "ui/QtMessageBoxes.h"
#include "ui/SessionActions.h"
#include "ui/SessionPane.h"

namespace {

// Values of our own under the configuration key: the window's place and size, the
// splitter, and whether the log follows new traffic.
constexpr const wchar_t* kGeometryValue = L"Window Geometry";
constexpr const wchar_t* kSplitterValue = L"Splitter State";
constexpr const wchar_t* kFollowValue = L"Follow New Traffic";
constexpr const wchar_t* kTimestampsValue = L"Timestamps";
constexpr const wchar_t* kHexDumpValue = L"Hex Dump";

QPoint PointOf(LPARAM lPoint) {
    // x in the low word, y in the high word, each a signed 16-bit number.
    const auto x = static_cast<std::int16_t>(lPoint & 0xFFFF);
    const auto y = static_cast<std::int16_t>((lPoint >> 16) & 0xFFFF);
    return {x, y};
}

}  // namespace

LRESULT CMainFrame::WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam) {
    switch (nMsg) {
        case UM_SET_STATUS_TEXT: {
            std::unique_ptr<StatusRecord> pRecord(reinterpret_cast<StatusRecord*>(wParam));
            SetStatusText(pRecord->nPane, QString::fromStdWString(pRecord->strText));
            return 0;
        }
        case UM_GET_URL:
            *reinterpret_cast<std::wstring*>(wParam) = m_pConnectionBar->GetUrl();
            return 0;
        case UM_GET_LOCAL_PORT:
            *reinterpret_cast<int*>(wParam) = m_pConnectionBar->GetLocalPort();
            return 0;
        case UM_GET_REMOTE_PORT:
            *reinterpret_cast<int*>(wParam) = m_pConnectionBar->GetRemotePort();
            return 0;
        case UM_GET_CONNECTION: {
            auto& query = *reinterpret_cast<CConnectionQuery*>(wParam);
            query = {m_pConnectionBar->GetUrl(), m_pConnectionBar->GetLocalPort(),
                     m_pConnectionBar->GetRemotePort()};
            return 1;
        }
        case UM_GET_MAIN_MENU:
            // The recent-file list is given its menu directly; no handle stands for it.
            *reinterpret_cast<HANDLE*>(wParam) = 0;
            return 0;
        case UM_REFRESH_TITLE:
            RefreshTitle();
            return 0;
        case UM_SHOW_HELP:
            // The topic, or the start page when none is named.
            CHelpPages::Show(wParam != 0
                                 ? QString::fromWCharArray(reinterpret_cast<const wchar_t*>(wParam))
                                 : QString());
            return 0;
        case UM_CONTEXT_MENU:
            ShowLogContextMenu(reinterpret_cast<HWND>(wParam), lParam);
            return 0;
        case UM_DELETE_CLIENT:
        case UM_DELETE_SESSION:
            DeleteRelayObject(nMsg, wParam);
            return 0;
        case WM_COMMAND:
            OnCommand(static_cast<UINT>(wParam & 0xFFFF), lParam);
            return 0;
        case WM_CLOSE:
            close();
            return 0;
        default:
            if (nMsg == ToolBarCtrlEnableMessage()) {
                OnEnableCommand(static_cast<UINT>(wParam), (lParam & 0xFF) != 0);
            }
            // The banner's messages have nothing to show.
            return 0;
    }
}

void CMainFrame::OnCommand(UINT nId, LPARAM lParam) {
    const HWND hwndMain = Handle();
    // The log's commands report as the log view does, the window's as the window does.
    auto view = [&](auto fn) { GuiGuard(kViewFailed, MB_ICONEXCLAMATION, hwndMain, fn); };
    auto frame = [&](auto fn) { GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr, fn); };
    switch (nId) {
        case ID_TOOLS_LISTEN:
            if (lParam != LISTEN_STOP_ONLY) {
                OnListen(lParam == 0);
            } else if (m_listen.IsListening()) {
                OnListen(false);  // a session's request to stop never starts listening
            }
            break;
        case ID_EDIT_COPY:
            view([&] {
                // What is shown is copied: one session's blocks, or the hex dump.
                CLogView* pShown = ShownLogView();
                if (pShown != nullptr && pShown != m_pLogPane->View() && pShown->hasFocus()) {
                    pShown->copy();
                } else if (m_pLogPane->View()->hasFocus()) {
                    m_pLogPane->Copy();
                } else {
                    m_pConnectionBar->Copy();
                }
            });
            break;
        case ID_EDIT_SELECT_ALL:
            view([&] {
                CLogView* pShown = ShownLogView();
                if (pShown != nullptr && pShown != m_pLogPane->View()) {
                    pShown->selectAll();
                } else {
                    m_pLogPane->SelectAll();
                }
            });
            break;
        case ID_EDIT_FIND:
        case ID_EDIT_REPEAT:
        case ID_EDIT_FIND_PREVIOUS:
            view([&] { OnFindCommand(nId); });
            break;
        case ID_FILE_NEW:
            view([&] { m_pLogPane->New(); });
            frame([&] {
                if (!m_pLogPane->IsModified() && !m_pLogPane->HasText()) {
                    ShowAllSessions();  // the log was emptied: its sessions' copies go too
                }
            });
            frame([&] { RefreshTitle(); });
            break;
        case ID_FILE_SAVE:
            view([&] { m_pLogPane->Save(); });
            frame([&] { RefreshTitle(); });
            break;
        case ID_FILE_SAVE_AS:
            view([&] { m_pLogPane->SaveAs(); });
            frame([&] { RefreshTitle(); });
            break;
        case ID_FILE_OPEN:
            view([&] { m_pLogPane->Open(); });
            frame([&] { RefreshTitle(); });
            break;
        case ID_APP_EXIT:
            m_pBridge->PostMessage(WM_CLOSE, 0, 0);
            break;
        case ID_FILE_EXPORT_PCAP:
            frame([&] {
                if (m_pSessionPane != nullptr) {
                    m_pSessionPane->exportCapture();
                }
            });
            break;
        case ID_FILE_EXPORT_HAR:
            frame([&] {
                if (m_pSessionPane != nullptr) {
                    m_pSessionPane->actions().exportHar({});
                }
            });
            break;
        case ID_VIEW_TOOLBAR:
            frame([&] {
                m_pToolBar->setVisible(!m_pToolBar->isVisible());
                Action(ID_VIEW_TOOLBAR)->setChecked(m_pToolBar->isVisible());
            });
            break;
        case ID_VIEW_STATUS_BAR:
            frame([&] {
                statusBar()->setVisible(!statusBar()->isVisible());
                Action(ID_VIEW_STATUS_BAR)->setChecked(statusBar()->isVisible());
            });
            break;
        case ID_VIEW_FOLLOW:
            view([&] {
                const bool bFollow = Action(ID_VIEW_FOLLOW)->isChecked();
                SetFollow(bFollow);
                CRegKeyTalvex regKey;
                regKey.SetDWORD(kFollowValue, bFollow ? 1 : 0);
            });
            break;
        case ID_VIEW_TIMESTAMPS:
        case ID_VIEW_HEX_DUMP:
            view([&] {
                ApplyViewChoice(nId);
                CRegKeyTalvex regKey;
                regKey.SetDWORD(nId == ID_VIEW_TIMESTAMPS ? kTimestampsValue : kHexDumpValue,
                                Action(nId)->isChecked() ? 1 : 0);
            });
            break;
        case ID_VIEW_DIRECTION_COLOURS:
        case ID_VIEW_FONT:
        case ID_VIEW_ZOOM_IN:
        case ID_VIEW_ZOOM_OUT:
        case ID_VIEW_ZOOM_RESET:
            view([&] { OnLookCommand(nId); });
            break;
        case ID_APP_ABOUT:
            frame([&] { ShowAbout(); });
            break;
        case ID_TOOLS_OPTIONS:
            frame([&] {
                QWidget* pActive = QApplication::activeWindow();
                COptionsDialog dialog(pActive != nullptr ? pActive : this);
                dialog.exec();
            });
            break;
        case ID_TOOLS_NET_CONDITIONS:
            frame([&] {
                QWidget* pActive = QApplication::activeWindow();
                CNetConditionsDialog dialog(pActive != nullptr ? pActive : this);
                if (dialog.exec() == QDialog::Accepted) {
                    ShowNetConditions(ApplyStoredNetConditions());
                }
            });
            break;
        case ID_TOOLS_TLS_CA:
            frame([&] {
                QWidget* pActive = QApplication::activeWindow();
                CCertAuthorityDialog dialog(pActive != nullptr ? pActive : this);
                dialog.exec();
            });
            break;
        case ID_HELP_FINDER:
        case ID_HELP:
            frame([&] { CHelpPages::Show(); });
            break;
        case ID_FILE_PRINT_SETUP:
        case ID_FILE_PRINT:
        case ID_FILE_PRINT_PREVIEW:
        case ID_PREVIEW_PREV:
        case ID_PREVIEW_NEXT:
        case ID_PREVIEW_CLOSE:
            frame([&] { m_pPrint->OnCommand(nId); });
            break;
        default:
            break;  // commands without a handler do nothing
    }
}

void CMainFrame::OnListen(bool bFlag) {
    UpdateConnectionAnswer();  // what the sessions of this listening will be told
    GuiGuard(kViewFailed, MB_ICONEXCLAMATION, Handle(), [&] { m_listen.ThreadListen(bFlag); });
    GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr, [&] { ListenUiUpdate(); });
}

void CMainFrame::ListenUiUpdate() {
    const bool bListening = m_listen.IsListening();
    Action(ID_TOOLS_LISTEN)->setChecked(bListening);
    m_pConnectionBar->UpdateListenState(ID_TOOLS_LISTEN, bListening);
}

void CMainFrame::OnEnableCommand(UINT nId, bool bEnable) {
    if (QAction* pAction = Action(nId)) {
        pAction->setEnabled(bEnable);
    }
    m_pConnectionBar->EnableCommand(nId, bEnable);
}

void CMainFrame::OnIdle() {
    if (m_bClosed) {
        return;
    }
    FlushTrace();  // the last trace lines reach a file or journal without waiting for more
    if (m_pLogPane->IsModified() != m_bModifiedMark) {
        RefreshTitle();
    }
    // One session's view or the hex dump's, when one is shown in the log's place.
    CLogView* pShown = ShownLogView();
    const bool bDerived = pShown != nullptr && pShown != m_pLogPane->View();
    Action(ID_EDIT_COPY)
        ->setEnabled(bDerived ? pShown->hasSelection() : m_pLogPane->HasSelection());
    Action(ID_EDIT_SELECT_ALL)->setEnabled(bDerived ? pShown->hasText() : m_pLogPane->HasText());
    for (const UINT nId : {ID_EDIT_FIND, ID_EDIT_REPEAT, ID_EDIT_FIND_PREVIOUS}) {
        Action(nId)->setEnabled(m_pFindBar != nullptr);
    }
    UpdateExportAction();
}

void CMainFrame::UpdateExportAction() {
    // A capture is made from the recorded blocks; a log loaded from a file has none, and
    // an empty capture written in silence would look like a success.
    QAction* pExport = Action(ID_FILE_EXPORT_PCAP);
    const CLogDocument* pDoc = m_pLogPane->Document();
    const bool bRecords = pDoc != nullptr && CSessionPane::hasRecords(*pDoc);
    pExport->setEnabled(bRecords);
    Action(ID_FILE_EXPORT_HAR)->setEnabled(bRecords);
    QString strTip;
    if (!bRecords) {
        strTip = pDoc != nullptr && pDoc->GetSize() > 0 ? CSessionPane::loadedLogText()
                                                        : tr("No session has been recorded yet.");
    }
    if (pExport->statusTip() != strTip) {
        pExport->setStatusTip(strTip);
        pExport->setToolTip(strTip.isEmpty() ? pExport->text().remove(QLatin1Char('&')) : strTip);
    }
}

void CMainFrame::RefreshTitle() {
    m_bModifiedMark = m_pLogPane->IsModified();
    setWindowTitle(m_pLogPane->Title() + (m_bModifiedMark ? QStringLiteral("*") : QString()) +
                   QStringLiteral(" - ") + QString::fromStdWString(LoadResourceString(128)));
}

void CMainFrame::ShowLogContextMenu(HWND hwnd, LPARAM lPoint) {
    if (hwnd != static_cast<HWND>(m_pLogPane->View())) {
        return;  // the menu belongs to the log view only
    }
    OnIdle();  // the commands' state as of now
    m_pContextMenu->popup(PointOf(lPoint));
}

void CMainFrame::ShowAbout() {
    ShowAboutBox(this);
}

bool CMainFrame::QueryClose() {
    if (m_listen.IsListening()) {
        // Stopping cuts every open session (its peers see a reset): the user says so first.
        const long nOpen = m_listen.GetListener().GetRegistry().GetCount();
        if (nOpen > 0) {
            const std::wstring strQuestion =
                nOpen == 1
                    ? std::wstring(L"1 session is still open. Stop it and close?")
                    : std::to_wstring(nOpen) + L" sessions are still open. Stop them and close?";
            if (ShowMessage(strQuestion, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, Handle()) !=
                IDYES) {
                return false;
            }
        }
        // Listening stops first, with the close-when-no-clients flag: the last session to
        // end closes the window; without sessions it stays open until closed again.
        g_Module.ToggleListening(true);
        return false;
    }
    return m_pLogPane->PromptSaveChanges();
}

void CMainFrame::closeEvent(QCloseEvent* pEvent) {
    if (m_bClosed) {
        pEvent->accept();
        return;
    }
    bool bClose = false;
    GuiGuard(kViewFailed, MB_ICONEXCLAMATION, Handle(), [&] { bClose = QueryClose(); });
    if (!bClose) {
        pEvent->ignore();
        return;
    }
    GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr, [&] { SaveLayout(); });
    m_bClosed = true;
    mainWindowClosing = true;
    m_pIdleTimer->stop();
    m_pBoxes->CloseAll();
    m_pBridge->Destroy();
    pEvent->accept();
    emit closed();
}

void CMainFrame::RestoreLayout() {
    GuiGuard(kMainFrameFailed, MB_ICONEXCLAMATION, nullptr, [&] {
        CRegKeyTalvex regKey;
        const auto load = [&](const wchar_t* pszName) {
            return QByteArray::fromBase64(
                QString::fromStdWString(regKey.QueryString(pszName)).toLatin1());
        };
        if (!restoreGeometry(load(kGeometryValue))) {
            resize(960, 640);  // a first start: a comfortable size, placed by the desktop
        }
        m_pSplitter->restoreState(load(kSplitterValue));
        const bool bFollow = regKey.QueryDWORD(kFollowValue, 1) != 0;
        SetFollow(bFollow);
        if (QAction* pFollow = Action(ID_VIEW_FOLLOW)) {
            pFollow->setChecked(bFollow);
        }
        for (const auto& [nId, pszValue] : {std::pair{ID_VIEW_TIMESTAMPS, kTimestampsValue},
                                            std::pair{ID_VIEW_HEX_DUMP, kHexDumpValue}}) {
            if (QAction* pAction = Action(nId)) {
                pAction->setChecked(regKey.QueryDWORD(pszValue, 0) != 0);
                ApplyViewChoice(nId);
            }
        }
        RestoreLook();
    });
}

void CMainFrame::SaveLayout() {
    CRegKeyTalvex regKey;
    const auto store = [&](const wchar_t* pszName, const QByteArray& data) {
        regKey.SetString(pszName, QString::fromLatin1(data.toBase64()).toStdWString().c_str());
    };
    store(kGeometryValue, saveGeometry());
    store(kSplitterValue, m_pSplitter->saveState());
}
