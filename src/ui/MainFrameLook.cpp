// The main window's commands on the log's look: colour by direction, the font and its
// zoom, all remembered.
#include <QAction>
#include <QFontDatabase>
#include <QFontDialog>
#include <QMenu>

#include <algorithm>

#include "settings/RegKeyTalvex.h"
#include "ui/CommandIds.h"
#include "ui/LogColours.h"
#include "ui/LogPresentation.h"
#include "ui/LogView.h"
#include "ui/MainFrame.h"

namespace {

// The font as QFont::toString gives it; empty: the system's fixed-width font.
constexpr const wchar_t* kLogFontValue = L"Log Font";
// The zoom in points, stored with kZoomBias added so that it is never negative.
constexpr const wchar_t* kLogZoomValue = L"Log Zoom";
constexpr int kZoomBias = 1000;
constexpr double kMinPoints = 6.0;
constexpr double kMaxPoints = 72.0;

QFont DefaultLogFont() {
    return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

}  // namespace

void CMainFrame::CreateLookActions() {
    QAction* pColours = AddAction(ID_VIEW_DIRECTION_COLOURS, tr("&Colour by Direction"));
    pColours->setStatusTip(
        tr("Show the client's and the server's blocks and the log's own lines in colours of "
           "their own"));
    pColours->setCheckable(true);
    pColours->setChecked(true);
    AddAction(ID_VIEW_FONT, tr("F&ont..."))->setStatusTip(tr("Choose the log's font"));
    QAction* pIn = AddAction(ID_VIEW_ZOOM_IN, tr("&Zoom In"));
    pIn->setShortcuts({QKeySequence::ZoomIn, QKeySequence(tr("Ctrl+="))});
    pIn->setStatusTip(tr("Make the log's text larger"));
    QAction* pOut = AddAction(ID_VIEW_ZOOM_OUT, tr("Zoom O&ut"));
    pOut->setShortcut(QKeySequence::ZoomOut);
    pOut->setStatusTip(tr("Make the log's text smaller"));
    QAction* pReset = AddAction(ID_VIEW_ZOOM_RESET, tr("&Reset Zoom"));
    pReset->setShortcut(QKeySequence(tr("Ctrl+0")));
    pReset->setStatusTip(tr("Show the log's text at the font's own size"));
    m_logFont = DefaultLogFont();
}

void CMainFrame::AddLookMenu(QMenu* pView) {
    pView->addAction(Action(ID_VIEW_DIRECTION_COLOURS));
    pView->addSeparator();
    pView->addAction(Action(ID_VIEW_FONT));
    pView->addAction(Action(ID_VIEW_ZOOM_IN));
    pView->addAction(Action(ID_VIEW_ZOOM_OUT));
    pView->addAction(Action(ID_VIEW_ZOOM_RESET));
}

void CMainFrame::OnLookCommand(UINT nId) {
    CRegKeyTalvex regKey;
    switch (nId) {
        case ID_VIEW_DIRECTION_COLOURS: {
            const bool bOn = Action(ID_VIEW_DIRECTION_COLOURS)->isChecked();
            if (m_pPresentation != nullptr) {
                m_pPresentation->setDirectionColours(bOn);
            }
            regKey.SetDWORD(logcolours::kSettingName, bOn ? 1 : 0);
            return;
        }
        case ID_VIEW_FONT: {
            bool bOk = false;
            // Fixed-width fonts only: the view lays its text out in columns.
            const QFont font = QFontDialog::getFont(&bOk, m_logFont, this, tr("Font"),
                                                    QFontDialog::MonospacedFonts);
            if (!bOk) {
                return;
            }
            m_logFont = font;
            m_nZoom = 0;
            regKey.SetString(kLogFontValue, m_logFont.toString().toStdWString().c_str());
            break;
        }
        case ID_VIEW_ZOOM_IN:
            ++m_nZoom;
            break;
        case ID_VIEW_ZOOM_OUT:
            --m_nZoom;
            break;
        default:
            m_nZoom = 0;
            break;
    }
    ApplyLogFont();
    regKey.SetDWORD(kLogZoomValue, static_cast<DWORD>(m_nZoom + kZoomBias));
}

void CMainFrame::RestoreLook() {
    CRegKeyTalvex regKey;
    const bool bColours = regKey.QueryDWORD(logcolours::kSettingName, 1) != 0;
    if (QAction* pColours = Action(ID_VIEW_DIRECTION_COLOURS)) {
        pColours->setChecked(bColours);
    }
    if (m_pPresentation != nullptr) {
        m_pPresentation->setDirectionColours(bColours);
    }
    m_logFont = DefaultLogFont();
    const QString strFont = QString::fromStdWString(regKey.QueryString(kLogFontValue));
    if (QFont font; !strFont.isEmpty() && font.fromString(strFont)) {
        m_logFont = font;
    }
    m_nZoom = static_cast<int>(regKey.QueryDWORD(kLogZoomValue, kZoomBias)) - kZoomBias;
    ApplyLogFont();
}

void CMainFrame::ApplyLogFont() {
    // The zoom stays within sizes that can be read and laid out.
    double dBase = m_logFont.pointSizeF();
    if (dBase <= 0) {
        dBase = 10.0;
    }
    m_nZoom = std::clamp(m_nZoom, static_cast<int>(kMinPoints - dBase),
                         static_cast<int>(kMaxPoints - dBase));
    QFont font = m_logFont;
    font.setPointSizeF(dBase + m_nZoom);
    if (m_pPresentation != nullptr) {
        m_pPresentation->setViewFont(font);
    }
    if (QAction* pReset = Action(ID_VIEW_ZOOM_RESET)) {
        pReset->setEnabled(m_nZoom != 0);
    }
}
