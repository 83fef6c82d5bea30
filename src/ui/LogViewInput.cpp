// The log view's keyboard and mouse: caret moves, selection, Copy and Select All, zoom
// with Ctrl and the wheel.
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <algorithm>

#include "ui/LogView.h"

bool CLogView::event(QEvent* pEvent) {
    if (pEvent->type() == QEvent::ShortcutOverride) {
        // Copy and Select All belong to the view while it has the focus, as in an edit
        // control, before any shortcut of the window.
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (pKey->matches(QKeySequence::Copy) || pKey->matches(QKeySequence::SelectAll)) {
            pEvent->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(pEvent);
}

void CLogView::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (pEvent->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const bool bShift = (pEvent->modifiers() & Qt::ShiftModifier) != 0;
    const bool bCtrl = (pEvent->modifiers() & Qt::ControlModifier) != 0;
    const std::uint64_t nPage = static_cast<std::uint64_t>(std::max(1, visibleLineCount() - 1));
    const std::uint64_t nLast = lineCount() - 1;
    switch (pEvent->key()) {
        case Qt::Key_Left:
            moveCaret(prevCharPos(m_caret), bShift);
            break;
        case Qt::Key_Right:
            moveCaret(nextCharPos(m_caret), bShift);
            break;
        case Qt::Key_Up:
            if (m_caret.nLine > 0) {
                moveCaret(posAtColumn(m_caret.nLine - 1, m_nDesiredColumn), bShift, true);
            }
            break;
        case Qt::Key_Down:
            if (m_caret.nLine < nLast) {
                moveCaret(posAtColumn(m_caret.nLine + 1, m_nDesiredColumn), bShift, true);
            }
            break;
        case Qt::Key_PageUp:
            m_nTopLine = m_nTopLine > nPage ? m_nTopLine - nPage : 0;
            moveCaret(
                posAtColumn(m_caret.nLine > nPage ? m_caret.nLine - nPage : 0, m_nDesiredColumn),
                bShift, true);
            break;
        case Qt::Key_PageDown:
            m_nTopLine += nPage;
            moveCaret(posAtColumn(std::min(m_caret.nLine + nPage, nLast), m_nDesiredColumn), bShift,
                      true);
            break;
        case Qt::Key_Home:
            moveCaret(bCtrl ? CTextPos{} : CTextPos{m_caret.nLine, 0}, bShift);
            break;
        case Qt::Key_End:
            moveCaret(bCtrl ? endPosition() : lineEnd(m_caret.nLine), bShift);
            break;
        default:
            // Read-only: typing changes nothing; the key goes on to the window.
            pEvent->ignore();
            return;
    }
    pEvent->accept();
}

void CLogView::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(pEvent);
        return;
    }
    const bool bShift = (pEvent->modifiers() & Qt::ShiftModifier) != 0;
    moveCaret(posAtPoint(pEvent->position().toPoint()), bShift);
    m_bDragging = true;
}

void CLogView::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_bDragging) {
        return;
    }
    const QPoint point = pEvent->position().toPoint();
    // Past the top or bottom edge the text scrolls a line per move.
    if (point.y() < 0 && m_nTopLine > 0) {
        --m_nTopLine;
    } else if (point.y() >= viewport()->height()) {
        ++m_nTopLine;
    }
    moveCaret(posAtPoint(point), true);
}

void CLogView::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) {
        m_bDragging = false;
    }
}

void CLogView::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) {
        selectWordAt(posAtPoint(pEvent->position().toPoint()));
    }
}

void CLogView::wheelEvent(QWheelEvent* pEvent) {
    if ((pEvent->modifiers() & Qt::ControlModifier) == 0) {
        m_nZoomDelta = 0;
        QAbstractScrollArea::wheelEvent(pEvent);
        return;
    }
    // 120 eighths of a degree are one notch; a touchpad sends them in smaller parts.
    constexpr int kNotch = 120;
    m_nZoomDelta += pEvent->angleDelta().y();
    const int nSteps = m_nZoomDelta / kNotch;
    m_nZoomDelta -= nSteps * kNotch;
    if (nSteps != 0) {
        emit zoomRequested(nSteps);
    }
    pEvent->accept();
}
