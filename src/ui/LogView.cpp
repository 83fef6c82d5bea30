#include "ui/LogView.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

#include "logdoc/LogDocument.h"
#include "logdoc/TextColumns.h"

namespace {

// While text pours in, the view repaints at most so often that painting takes about this
// share of the time: a screen of binary data is costly to lay out, and on a small machine
// the GUI thread's time is the relay's. Never slower than kMaxPollMs.
constexpr qint64 kPaintShare = 10;
constexpr qint64 kMaxPollMs = 250;

// The vertical scroll bar counts in lines while they fit an int with room to spare.
constexpr std::uint64_t kMaxScrollSteps = 1ull << 30;

}  // namespace

CLogView::CLogView(CLogDocument& doc, QWidget* pParent) : QAbstractScrollArea(pParent), m_doc(doc) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(&m_pollTimer, &QTimer::timeout, this, &CLogView::onPollTimer);
    m_pollTimer.start(kPollMs);
    m_nSeenResets = m_doc.GetResetCount();
    refresh();
}

std::uint64_t CLogView::lineCount() const {
    return m_doc.GetLineCount();
}

bool CLogView::hasText() const {
    return m_doc.GetSize() > 0;
}

int CLogView::visibleLineCount() const {
    const int nHeight = fontMetrics().height();
    return std::max(1, viewport()->height() / std::max(1, nHeight));
}

int CLogView::visibleColumnCount() const {
    const int nWidth = fontMetrics().horizontalAdvance(QLatin1Char('M'));
    return std::max(1, viewport()->width() / std::max(1, nWidth));
}

void CLogView::setFollow(bool bFollow) {
    m_bFollow = bFollow;
    if (m_bFollow) {
        m_nSeenGeneration = UINT64_MAX;  // catch up at once
        refresh();
    }
}

void CLogView::onPollTimer() {
    const qint64 nIntervalMs = std::min(kMaxPollMs, m_nPaintNs * kPaintShare / 1000000);
    if (m_sinceRefresh.isValid() && m_sinceRefresh.elapsed() < nIntervalMs) {
        return;
    }
    refresh();
}

void CLogView::refresh() {
    const std::uint64_t nGeneration = m_doc.GetGeneration();
    if (nGeneration == m_nSeenGeneration) {
        return;
    }
    m_nSeenGeneration = nGeneration;
    m_sinceRefresh.start();
    const std::uint64_t nResets = m_doc.GetResetCount();
    if (nResets != m_nSeenResets) {
        // Cleared or loaded: the old positions mean nothing any more.
        m_nSeenResets = nResets;
        m_anchor = m_caret = {};
        m_nTopLine = 0;
        m_nLeftColumn = 0;
        m_nWidestColumns = 0;
        m_nDesiredColumn = 0;
        emit selectionChanged();
    }
    updateScrollBars();
    if (m_bFollow && !m_bDragging) {
        const bool bHadSelection = hasSelection();
        m_anchor = m_caret = endPosition();
        m_nDesiredColumn = columnOf(m_caret);
        ensureCaretVisible();
        if (bHadSelection) {
            emit selectionChanged();
        }
    }
    const bool bHasText = hasText();
    if (bHasText != m_bHadText || bHasText) {
        m_bHadText = bHasText;
        emit contentChanged();
    }
    viewport()->update();
}

CLogView::CLineText CLogView::fetchLine(std::uint64_t nLine, std::uint64_t nFromByte,
                                        std::uint64_t nBytes) const {
    CLineText line;
    const std::vector<CLogLineSpan> spans = m_doc.GetLines(nLine, 1);
    if (spans.empty()) {
        return line;
    }
    line.nStart = spans[0].nStart;
    line.nLength = spans[0].nLength;
    line.bLong = line.nLength > kLongLineBytes;
    if (!line.bLong) {
        line.text = m_doc.ReadBytes(line.nStart, line.nLength);
        return line;
    }
    // Back to a character start, so that the window decodes from a boundary.
    line.nFrom = std::min(nFromByte, line.nLength);
    line.nFrom = line.nFrom > 3 ? line.nFrom - 3 : 0;
    line.text =
        m_doc.ReadBytes(line.nStart + line.nFrom, std::min(nBytes + 6, line.nLength - line.nFrom));
    std::size_t nSkip = 0;
    while (nSkip < line.text.size() && nSkip < 3 &&
           (static_cast<unsigned char>(line.text[nSkip]) & 0xC0) == 0x80) {
        ++nSkip;
    }
    line.nFrom += nSkip;
    line.text.erase(0, nSkip);
    return line;
}

std::uint64_t CLogView::columnOf(CTextPos pos) const {
    const CLineText line = fetchLine(pos.nLine, pos.nByte, 8);
    if (line.bLong) {
        return pos.nByte;
    }
    return textcol::ColumnAt(line.text, static_cast<std::size_t>(pos.nByte));
}

CLogView::CTextPos CLogView::posAtColumn(std::uint64_t nLine, std::uint64_t nColumn) const {
    nLine = std::min(nLine, lineCount() - 1);
    const CLineText line = fetchLine(nLine, nColumn, 8);
    if (!line.bLong) {
        return {nLine, textcol::ByteAtColumn(line.text, nColumn)};
    }
    if (nColumn >= line.nLength) {
        return {nLine, line.nLength};
    }
    // One column per byte: the character that holds this byte.
    std::uint64_t nByte = line.nFrom;
    for (std::size_t i = 0; i < line.text.size();) {
        const std::size_t nNext = textcol::NextChar(line.text, i);
        if (line.nFrom + nNext > nColumn) {
            break;
        }
        nByte = line.nFrom + nNext;
        i = nNext;
    }
    return {nLine, std::min(nByte, line.nLength)};
}

CLogView::CTextPos CLogView::posAtPoint(const QPoint& point) const {
    const QFontMetrics fm = fontMetrics();
    const int nCharWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const std::int64_t nRow = point.y() < 0 ? -1 : point.y() / std::max(1, fm.height());
    const std::int64_t nLine =
        std::max<std::int64_t>(0, static_cast<std::int64_t>(m_nTopLine) + nRow);
    const std::int64_t nColumn = std::max<std::int64_t>(
        0, static_cast<std::int64_t>(m_nLeftColumn) + point.x() / nCharWidth);
    const int nHalf = (point.x() % nCharWidth) * 2 >= nCharWidth ? 1 : 0;
    // ByteAtColumn rounds to the nearer boundary of a column it is given in halves.
    CTextPos pos =
        posAtColumn(static_cast<std::uint64_t>(nLine), static_cast<std::uint64_t>(nColumn));
    if (nHalf != 0) {
        const CTextPos next = posAtColumn(pos.nLine, static_cast<std::uint64_t>(nColumn) + 1);
        if (columnOf(next) == static_cast<std::uint64_t>(nColumn) + 1) {
            pos = next;
        }
    }
    return pos;
}

CLogView::CTextPos CLogView::lineEnd(std::uint64_t nLine) const {
    const std::vector<CLogLineSpan> spans = m_doc.GetLines(nLine, 1);
    return {nLine, spans.empty() ? 0 : spans[0].nLength};
}

CLogView::CTextPos CLogView::endPosition() const {
    return lineEnd(lineCount() - 1);
}

CLogView::CTextPos CLogView::nextCharPos(CTextPos pos) const {
    const CLineText line = fetchLine(pos.nLine, pos.nByte, 8);
    if (pos.nByte >= line.nLength) {
        return pos.nLine + 1 < lineCount() ? CTextPos{pos.nLine + 1, 0} : pos;
    }
    const std::size_t i = static_cast<std::size_t>(pos.nByte - line.nFrom);
    return {pos.nLine, line.nFrom + textcol::NextChar(line.text, i)};
}

CLogView::CTextPos CLogView::prevCharPos(CTextPos pos) const {
    if (pos.nByte == 0) {
        if (pos.nLine == 0) {
            return pos;
        }
        return lineEnd(pos.nLine - 1);
    }
    const CLineText line = fetchLine(pos.nLine, pos.nByte > 8 ? pos.nByte - 8 : 0, 16);
    const std::size_t i = static_cast<std::size_t>(pos.nByte - line.nFrom);
    return {pos.nLine, line.nFrom + textcol::PrevChar(line.text, i)};
}

std::uint64_t CLogView::offsetOf(CTextPos pos) const {
    const std::vector<CLogLineSpan> spans = m_doc.GetLines(pos.nLine, 1);
    if (spans.empty()) {
        return m_doc.GetSize();
    }
    return spans[0].nStart + std::min(pos.nByte, spans[0].nLength);
}

QString CLogView::selectedText() const {
    if (!hasSelection()) {
        return {};
    }
    const std::uint64_t nFrom = offsetOf(std::min(m_anchor, m_caret));
    const std::uint64_t nTo = offsetOf(std::max(m_anchor, m_caret));
    const std::string text = m_doc.ExtractText(nFrom, std::min(nTo, nFrom + kMaxCopyBytes), "\n");
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool CLogView::copy() {
    if (!hasSelection()) {
        return false;
    }
    QApplication::clipboard()->setText(selectedText());
    const std::uint64_t nFrom = offsetOf(std::min(m_anchor, m_caret));
    const std::uint64_t nTo = offsetOf(std::max(m_anchor, m_caret));
    return nTo - nFrom <= kMaxCopyBytes;
}

void CLogView::selectAll() {
    m_anchor = {};
    m_caret = endPosition();
    m_nDesiredColumn = columnOf(m_caret);
    viewport()->update();
    emit selectionChanged();
}

void CLogView::clearSelection() {
    if (hasSelection()) {
        m_anchor = m_caret;
        viewport()->update();
        emit selectionChanged();
    }
}

void CLogView::setCaretPosition(CTextPos pos, bool bExtend) {
    moveCaret(pos, bExtend);
}

void CLogView::moveCaret(CTextPos pos, bool bExtend, bool bKeepColumn) {
    const bool bHadSelection = hasSelection();
    const CTextPos oldAnchor = m_anchor;
    const CTextPos oldCaret = m_caret;
    pos.nLine = std::min(pos.nLine, lineCount() - 1);
    m_caret = pos;
    if (!bExtend) {
        m_anchor = pos;
    }
    if (!bKeepColumn) {
        m_nDesiredColumn = columnOf(m_caret);
    }
    ensureCaretVisible();
    viewport()->update();
    if ((bHadSelection || hasSelection()) && (oldAnchor != m_anchor || oldCaret != m_caret)) {
        emit selectionChanged();
    }
}

void CLogView::ensureCaretVisible() {
    const std::uint64_t nLines = static_cast<std::uint64_t>(visibleLineCount());
    if (m_caret.nLine < m_nTopLine) {
        m_nTopLine = m_caret.nLine;
    } else if (m_caret.nLine >= m_nTopLine + nLines) {
        m_nTopLine = m_caret.nLine + 1 - nLines;
    }
    const std::uint64_t nColumn = columnOf(m_caret);
    const std::uint64_t nColumns = static_cast<std::uint64_t>(visibleColumnCount());
    noteLineWidth(nColumn + 1);
    if (nColumn < m_nLeftColumn) {
        m_nLeftColumn = nColumn;
    } else if (nColumn >= m_nLeftColumn + nColumns) {
        m_nLeftColumn = nColumn + 1 - nColumns;
    }
    updateScrollBars();
}

void CLogView::setHighlighter(HighlightFn fn) {
    m_fnHighlight = std::move(fn);
    viewport()->update();
}

void CLogView::selectRange(std::uint64_t nFrom, std::uint64_t nTo) {
    const auto posOf = [this](std::uint64_t nOffset) {
        const std::uint64_t nLine = m_doc.LineOfOffset(nOffset);
        const std::vector<CLogLineSpan> spans = m_doc.GetLines(nLine, 1);
        const std::uint64_t nStart = spans.empty() ? 0 : spans[0].nStart;
        return CTextPos{nLine, nOffset > nStart ? nOffset - nStart : 0};
    };
    const CTextPos from = posOf(nFrom);
    const std::uint64_t nPage = static_cast<std::uint64_t>(visibleLineCount());
    if (from.nLine < m_nTopLine || from.nLine >= m_nTopLine + nPage) {
        m_nTopLine = from.nLine > nPage / 2 ? from.nLine - nPage / 2 : 0;
        updateScrollBars();
    }
    moveCaret(from, false);
    moveCaret(posOf(nTo), true);
}

std::pair<std::uint64_t, std::uint64_t> CLogView::selectionRange() const {
    return {offsetOf(std::min(m_anchor, m_caret)), offsetOf(std::max(m_anchor, m_caret))};
}

void CLogView::scrollToLine(std::uint64_t nLine) {
    m_nTopLine = std::min(nLine, lineCount() - 1);
    updateScrollBars();
    viewport()->update();
}

void CLogView::noteLineWidth(std::uint64_t nColumns) {
    if (nColumns > m_nWidestColumns) {
        m_nWidestColumns = nColumns;
        QTimer::singleShot(0, this, &CLogView::updateScrollBars);
    }
}

void CLogView::updateScrollBars() {
    const std::uint64_t nLines = lineCount();
    const std::uint64_t nPage = static_cast<std::uint64_t>(visibleLineCount());
    const std::uint64_t nMaxTop = nLines > nPage ? nLines - nPage : 0;
    m_nTopLine = std::min(m_nTopLine, nMaxTop);
    m_nLineScale = nMaxTop / kMaxScrollSteps + 1;
    const std::uint64_t nColumns = static_cast<std::uint64_t>(visibleColumnCount());
    const std::uint64_t nMaxLeft =
        m_nWidestColumns > nColumns ? m_nWidestColumns - nColumns + 1 : 0;
    m_bSettingScrollBars = true;
    QScrollBar* pV = verticalScrollBar();
    pV->setRange(0, static_cast<int>(nMaxTop / m_nLineScale));
    pV->setPageStep(static_cast<int>(std::max<std::uint64_t>(1, nPage / m_nLineScale)));
    pV->setSingleStep(1);
    pV->setValue(static_cast<int>(m_nTopLine / m_nLineScale));
    QScrollBar* pH = horizontalScrollBar();
    pH->setRange(
        0, static_cast<int>(std::min<std::uint64_t>(std::max(nMaxLeft, m_nLeftColumn), INT32_MAX)));
    pH->setPageStep(static_cast<int>(nColumns));
    pH->setSingleStep(1);
    pH->setValue(static_cast<int>(std::min<std::uint64_t>(m_nLeftColumn, INT32_MAX)));
    m_bSettingScrollBars = false;
}

void CLogView::scrollContentsBy(int, int) {
    if (!m_bSettingScrollBars) {
        const std::uint64_t nValue = static_cast<std::uint64_t>(verticalScrollBar()->value());
        const std::uint64_t nMaxTop = static_cast<std::uint64_t>(verticalScrollBar()->maximum());
        // The last step of a scaled bar reaches the very end.
        m_nTopLine = nValue >= nMaxTop && m_nLineScale > 1
                         ? std::max<std::uint64_t>(lineCount(),
                                                   static_cast<std::uint64_t>(visibleLineCount())) -
                               static_cast<std::uint64_t>(visibleLineCount())
                         : nValue * m_nLineScale;
        m_nLeftColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
    }
    viewport()->update();
}

void CLogView::resizeEvent(QResizeEvent* pEvent) {
    QAbstractScrollArea::resizeEvent(pEvent);
    updateScrollBars();
}

void CLogView::focusInEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusInEvent(pEvent);
    viewport()->update();
}

void CLogView::focusOutEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusOutEvent(pEvent);
    viewport()->update();
}

void CLogView::paintEvent(QPaintEvent*) {
    QElapsedTimer paintTime;
    paintTime.start();
    const struct CPaintCost {
        QElapsedTimer& timer;
        qint64& nNs;
        ~CPaintCost() { nNs = timer.nsecsElapsed(); }
    } cost{paintTime, m_nPaintNs};
    QPainter painter(viewport());
    const QPalette pal = palette();
    painter.fillRect(viewport()->rect(), pal.base());
    const QFont plainFont = font();
    QFont boldFont = plainFont;
    boldFont.setBold(true);
    const QFontMetrics fm(plainFont);
    const int nCharWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const int nLineHeight = std::max(1, fm.height());
    const std::uint64_t nColumns = static_cast<std::uint64_t>(visibleColumnCount()) + 1;
    const std::uint64_t nLeft = m_nLeftColumn;
    const std::size_t nRows = static_cast<std::size_t>(viewport()->height() / nLineHeight + 1);

    const std::vector<CLogLineSpan> spans = m_doc.GetLines(m_nTopLine, nRows);
    if (spans.empty()) {
        return;
    }
    const std::vector<CBoldRun> runs =
        m_doc.GetBoldRuns(spans.front().nStart, spans.back().nStart + spans.back().nLength);
    const CTextPos selFrom = std::min(m_anchor, m_caret);
    const CTextPos selTo = std::max(m_anchor, m_caret);
    std::size_t iRun = 0;
    const Ranges found = m_fnHighlight ? m_fnHighlight(spans.front().nStart,
                                                       spans.back().nStart + spans.back().nLength)
                                       : Ranges();
    std::size_t iFound = 0;
    const QColor foundColor(255, 225, 90);

    for (std::size_t row = 0; row < spans.size(); ++row) {
        const std::uint64_t nLine = m_nTopLine + row;
        const CLogLineSpan& span = spans[row];
        const int y = static_cast<int>(row) * nLineHeight;
        // The bytes needed: the whole short line, or the window of a long one.
        CLineText line;
        line.nStart = span.nStart;
        line.nLength = span.nLength;
        line.bLong = span.nLength > kLongLineBytes;
        if (line.bLong) {
            line = fetchLine(nLine, nLeft, nColumns * 4);
        } else {
            line.text = m_doc.ReadBytes(span.nStart, span.nLength);
            noteLineWidth(textcol::ColumnCount(line.text));
        }
        if (line.bLong) {
            noteLineWidth(line.nLength);
        }
        // The selected bytes of this line; the break counts as one more column.
        std::uint64_t nSelFrom = UINT64_MAX;
        std::uint64_t nSelTo = 0;
        if (selFrom != selTo && nLine >= selFrom.nLine && nLine <= selTo.nLine) {
            nSelFrom = nLine == selFrom.nLine ? selFrom.nByte : 0;
            nSelTo = nLine == selTo.nLine ? selTo.nByte : line.nLength + 1;
        }

        std::uint64_t nColumn = line.bLong ? line.nFrom : 0;
        QString strRun;
        std::uint64_t nRunColumn = 0;
        bool bRunBold = false;
        bool bRunSelected = false;
        bool bRunFound = false;
        auto flush = [&](std::uint64_t nEndColumn) {
            if (strRun.isEmpty() && !bRunSelected) {
                return;
            }
            const int x = static_cast<int>(static_cast<std::int64_t>(nRunColumn) -
                                           static_cast<std::int64_t>(nLeft)) *
                          nCharWidth;
            const int w = static_cast<int>(nEndColumn - nRunColumn) * nCharWidth;
            if (bRunSelected) {
                painter.fillRect(QRect(x, y, w, nLineHeight), pal.highlight());
            } else if (bRunFound) {
                painter.fillRect(QRect(x, y, w, nLineHeight), foundColor);
            }
            painter.setFont(bRunBold ? boldFont : plainFont);
            painter.setPen(bRunSelected ? pal.highlightedText().color()
                           : bRunFound  ? QColor(Qt::black)
                                        : pal.text().color());
            painter.drawText(x, y + fm.ascent(), strRun);
            strRun.clear();
        };
        const std::uint64_t nRight = nLeft + nColumns;
        for (std::size_t i = 0; i < line.text.size() && nColumn < nRight;) {
            char32_t cp;
            const std::size_t nBytes = textcol::DecodeAt(line.text, i, cp);
            const std::uint64_t nByte = line.nFrom + i;
            const std::uint64_t nWidth =
                line.bLong
                    ? nBytes
                    : (cp == '\t'
                           ? (nColumn / textcol::kTabWidth + 1) * textcol::kTabWidth - nColumn
                           : 1);
            if (nColumn + nWidth > nLeft) {
                const std::uint64_t nAt = line.nStart + nByte;
                while (iRun < runs.size() && runs[iRun].nEnd <= nAt) {
                    ++iRun;
                }
                const bool bBold = iRun < runs.size() && runs[iRun].nStart <= nAt;
                const bool bSelected = nByte >= nSelFrom && nByte < nSelTo;
                while (iFound < found.size() && found[iFound].second <= nAt) {
                    ++iFound;
                }
                const bool bFound = iFound < found.size() && found[iFound].first <= nAt;
                if (strRun.isEmpty() && !bRunSelected) {
                    nRunColumn = nColumn;
                    bRunBold = bBold;
                    bRunSelected = bSelected;
                    bRunFound = bFound;
                } else if (bBold != bRunBold || bSelected != bRunSelected || bFound != bRunFound ||
                           cp == '\t') {
                    flush(nColumn);
                    nRunColumn = nColumn;
                    bRunBold = bBold;
                    bRunSelected = bSelected;
                    bRunFound = bFound;
                }
                if (cp == '\t') {
                    flush(nColumn + nWidth);  // a tab draws nothing but its selection
                    bRunSelected = false;
                } else {
                    const char32_t shown = textcol::DisplayChar(cp);
                    if (shown >= 0x10000) {
                        strRun += QChar(QChar::highSurrogate(shown));
                        strRun += QChar(QChar::lowSurrogate(shown));
                    } else {
                        strRun += QChar(static_cast<char16_t>(shown));
                    }
                    if (nWidth > 1) {
                        // A long line's character of several bytes keeps its columns.
                        strRun += QString(static_cast<qsizetype>(nWidth - 1), QLatin1Char(' '));
                    }
                }
            }
            nColumn += nWidth;
            i += nBytes;
        }
        flush(nColumn);
        bRunSelected = false;
        if (nSelTo > line.nLength && nSelFrom <= line.nLength &&
            (line.bLong ? line.nFrom + line.text.size() >= line.nLength : true)) {
            // The selected line break.
            const int x = static_cast<int>(static_cast<std::int64_t>(nColumn) -
                                           static_cast<std::int64_t>(nLeft)) *
                          nCharWidth;
            painter.fillRect(QRect(x, y, nCharWidth, nLineHeight), pal.highlight());
        }
        if (hasFocus() && nLine == m_caret.nLine) {
            const std::uint64_t nCaretColumn =
                line.bLong ? m_caret.nByte
                           : textcol::ColumnAt(line.text, static_cast<std::size_t>(m_caret.nByte));
            const int x = static_cast<int>(static_cast<std::int64_t>(nCaretColumn) -
                                           static_cast<std::int64_t>(nLeft)) *
                          nCharWidth;
            painter.fillRect(QRect(x, y, 1, nLineHeight), pal.text());
        }
    }
}

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

void CLogView::selectWordAt(CTextPos pos) {
    constexpr std::uint64_t kReach = 4096;  // a word longer than this is cut
    const std::uint64_t nFrom = pos.nByte > kReach ? pos.nByte - kReach : 0;
    const CLineText line = fetchLine(pos.nLine, nFrom, 2 * kReach);
    if (line.text.empty()) {
        moveCaret(pos, false);
        return;
    }
    const std::string_view text = line.text;
    std::size_t i =
        static_cast<std::size_t>(std::min<std::uint64_t>(pos.nByte - line.nFrom, text.size()));
    char32_t cp = 0;
    if (i >= text.size() || !textcol::IsWordChar((textcol::DecodeAt(text, i, cp), cp))) {
        // Clicked after a word's last character: take that word.
        const std::size_t nPrev = textcol::PrevChar(text, i);
        textcol::DecodeAt(text, nPrev, cp);
        if (i == 0 || !textcol::IsWordChar(cp)) {
            moveCaret({pos.nLine, line.nFrom + i}, false);
            moveCaret({pos.nLine, line.nFrom + textcol::NextChar(text, i)}, true);
            return;
        }
        i = nPrev;
    }
    std::size_t nStart = i;
    while (nStart > 0) {
        const std::size_t nPrev = textcol::PrevChar(text, nStart);
        textcol::DecodeAt(text, nPrev, cp);
        if (!textcol::IsWordChar(cp)) {
            break;
        }
        nStart = nPrev;
    }
    std::size_t nEnd = i;
    while (nEnd < text.size() && (textcol::DecodeAt(text, nEnd, cp), textcol::IsWordChar(cp))) {
        nEnd = textcol::NextChar(text, nEnd);
    }
    moveCaret({pos.nLine, line.nFrom + nStart}, false);
    moveCaret({pos.nLine, line.nFrom + nEnd}, true);
}
