// The main window's choices of what the log view shows: a session's first block, one
// session only, the hex dump, timestamps.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include <cstdlib>

#include "ui/CommandIds.h"
#include "ui/FindBar.h"
#include "ui/LogPresentation.h"
#include "ui/LogView.h"
#include "ui/MainFrame.h"
#include "ui/SessionPane.h"

void CMainFrame::CreatePresentation(CLogView& logView, QWidget* pOutput, QVBoxLayout* pLayout) {
    m_pPresentation = std::make_unique<CLogPresentation>(logView);
    connect(m_pPresentation.get(), &CLogPresentation::zoomRequested, this, [this](int nSteps) {
        for (int i = 0; i < std::abs(nSteps); ++i) {
            OnCommand(nSteps > 0 ? ID_VIEW_ZOOM_IN : ID_VIEW_ZOOM_OUT, 0);
        }
    });
    // The find bar searches what is shown: it goes with the view it marks and comes back
    // on the next one, as it was.
    connect(m_pPresentation.get(), &CLogPresentation::shownViewAboutToChange, this, [this] {
        if (m_pFindBar != nullptr) {
            m_findState = {true, m_pFindBar->isVisible(), m_pFindBar->TextField()->text(),
                           m_pFindBar->MatchCaseBox()->isChecked(),
                           m_pFindBar->RegexBox()->isChecked()};
            delete m_pFindBar;
            m_pFindBar = nullptr;
        }
    });
    connect(m_pPresentation.get(), &CLogPresentation::shownViewChanged, this,
            [this, pOutput, pLayout] {
                if (m_pFindBar != nullptr || !m_findState.bKept) {
                    return;
                }
                CreateFindBar(pOutput, pLayout);
                m_pFindBar->MatchCaseBox()->setChecked(m_findState.bMatchCase);
                m_pFindBar->RegexBox()->setChecked(m_findState.bRegex);
                if (m_findState.bOpen) {
                    m_pFindBar->Open();
                }
                m_pFindBar->TextField()->setText(m_findState.strText);
            });
}

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
    if (m_pSessionPane != nullptr) {
        m_pSessionPane->setFollowNewRows(bFollow);
    }
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
