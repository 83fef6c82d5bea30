// The main window's choices of what the log view shows: a session's first block, one
// session only, the hex dump, timestamps.
#include <QAction>

#include "ui/CommandIds.h"
#include "ui/LogPresentation.h"
#include "ui/LogView.h"
#include "ui/MainFrame.h"

void CMainFrame::ShowLogOffset(std::uint64_t nOffset) {
    if (m_pPresentation == nullptr) {
        return;
    }
    if (QAction* pFollow = Action(ID_VIEW_FOLLOW); pFollow != nullptr && pFollow->isChecked()) {
        pFollow->setChecked(false);
        SetFollow(false);
    }
    m_pPresentation->showLogOffset(nOffset);
}

void CMainFrame::ShowOnlySession(std::uint32_t nRow) {
    if (m_pPresentation != nullptr) {
        m_pPresentation->showOnlySession(nRow);
    }
}

void CMainFrame::ShowAllSessions() {
    if (m_pPresentation != nullptr) {
        m_pPresentation->showAllSessions();
    }
}

QWidget* CMainFrame::SessionFilterView() const {
    return m_pPresentation != nullptr && m_pPresentation->showsOneSession()
               ? m_pPresentation->derivedView()
               : nullptr;
}

CLogView* CMainFrame::ShownLogView() const {
    return m_pPresentation != nullptr ? &m_pPresentation->shownView() : nullptr;
}

void CMainFrame::SetFollow(bool bFollow) {
    m_pLogPane->SetFollow(bFollow);
    if (m_pPresentation != nullptr) {
        m_pPresentation->setFollow(bFollow);
    }
}

void CMainFrame::ApplyViewChoice(UINT nId) {
    QAction* pAction = Action(nId);
    if (pAction == nullptr) {
        return;
    }
    const bool bOn = pAction->isChecked();
    if (m_pPresentation != nullptr) {
        if (nId == ID_VIEW_TIMESTAMPS) {
            m_pPresentation->setTimestamps(bOn);
        } else {
            m_pPresentation->setHexDump(bOn);
        }
    }
}
