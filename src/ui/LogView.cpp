#include "ui/LogView.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QScrollBar>
#include <algorithm>

#include "logdoc/BlockTimes.h"
#include "logdoc/LogDocument.h"
#include "ui/LogGlyphCache.h"
#include "ui/LogGutter.h"
#include "ui/LogViewAccessible.h"

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
    loadFallbackFonts();
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(&m_pollTimer, &QTimer::timeout, this, &CLogView::onPollTimer);
    m_glyphTimer.setSingleShot(true);
    m_glyphTimer.setInterval(0);
    connect(&m_glyphTimer, &QTimer::timeout, this, &CLogView::lookUpPendingGlyphs);
    m_pollTimer.start(kPollMs);
    m_nSeenResets = m_doc.GetResetCount();
    CLogViewAccessible::InstallFactory();
    setAccessibleName(tr("Traffic log"));
    setAccessibleDescription(
        tr("The relayed traffic: each block under a marker line, read-only; arrow keys move "
           "the caret, Shift with them selects"));
    m_accessibleTimer.setSingleShot(true);
    m_accessibleTimer.setInterval(CLogViewAccessible::kEventMs);
    // Precise: a coarse timer may fire 5 % early, and announcements must stay at least
    // kEventMs apart.
    m_accessibleTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_accessibleTimer, &QTimer::timeout, this, &CLogView::onAccessibleTimer);
    refresh();
}

CLogView::~CLogView() = default;

void CLogView::onAccessibleTimer() {
    const std::uint64_t nFrom = std::exchange(m_nAccessibleFrom, UINT64_MAX);
    if (nFrom != UINT64_MAX) {
        CLogViewAccessible::NoteTextAdded(*this, nFrom);
    }
}

void CLogView::loadFallbackFonts() {
    // Relayed binary bytes show as Windows-1252 characters and zero bytes as U+2400, which
    // many fixed-width fonts lack. Finding the fonts that have them takes tens of
    // milliseconds the first time: done now, rather than when the first screen of binary
    // data is painted while the user scrolls.
    static const QString s_strShown = [] {
        QString str = QStringLiteral(
            "\u20AC\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152"
            "\u017D\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A"
            "\u0153\u017E\u0178\u2400");
        for (char16_t c = 0xA0; c <= 0xFF; ++c) {
            str += QChar(c);
        }
        return str;
    }();
    (void)fontMetrics().horizontalAdvance(s_strShown);
    QFont bold = font();
    bold.setBold(true);
    (void)QFontMetrics(bold).horizontalAdvance(s_strShown);
}

void CLogView::changeEvent(QEvent* pEvent) {
    QAbstractScrollArea::changeEvent(pEvent);
    if (pEvent->type() == QEvent::FontChange) {
        loadFallbackFonts();
        // The gutter, the lines per page and the scroll ranges go by the font's size.
        placeGutter();
        updateScrollBars();
        viewport()->update();
    }
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

void CLogView::setDirectionColours(bool bOn) {
    if (bOn != m_bDirectionColours) {
        m_bDirectionColours = bOn;
        viewport()->update();
    }
}

void CLogView::setTimestamps(bool bShow) {
    if (bShow == m_bTimestamps) {
        return;
    }
    m_bTimestamps = bShow;
    if (m_bTimestamps && m_pGutter == nullptr) {
        m_pGutter = new CLogGutter(*this);
    }
    if (m_pGutter != nullptr) {
        m_pGutter->setVisible(m_bTimestamps);
    }
    placeGutter();
    updateScrollBars();
    viewport()->update();
}

int CLogView::gutterWidth() const {
    if (!m_bTimestamps) {
        return 0;
    }
    // "HH:MM:SS.mmm" and a column of space on either side.
    return fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000")) +
           2 * fontMetrics().horizontalAdvance(QLatin1Char(' '));
}

void CLogView::placeGutter() {
    const int nWidth = gutterWidth();
    setViewportMargins(nWidth, 0, 0, 0);
    if (m_pGutter != nullptr) {
        const QRect area = contentsRect();
        m_pGutter->setGeometry(area.left(), area.top(), nWidth, viewport()->height());
    }
}

QString CLogView::timestampOfLine(std::uint64_t nLine) const {
    std::vector<std::int64_t> times;
    blocktimes::MarkerTimes(m_doc, nLine, 1, times);
    if (times.empty() || times[0] == blocktimes::kNoTime) {
        return {};
    }
    return QString::fromStdString(blocktimes::FormatTime(times[0]));
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
        m_nAccessibleSeenSize = 0;  // a loaded log is new text from its start
        emit selectionChanged();
    }
    const std::uint64_t nSize = m_doc.GetSize();
    if (CLogViewAccessible::Listening()) {
        // New text is announced in batches: the first change starts the timer, the ones
        // until it fires join that announcement.
        if (nSize > m_nAccessibleSeenSize && m_nAccessibleFrom == UINT64_MAX) {
            m_nAccessibleFrom = m_nAccessibleSeenSize;
        } else if (nSize < m_nAccessibleSeenSize) {
            m_nAccessibleFrom = 0;
        }
        if (m_nAccessibleFrom != UINT64_MAX && !m_accessibleTimer.isActive()) {
            m_accessibleTimer.start();
        }
    }
    m_nAccessibleSeenSize = nSize;
    updateScrollBars();
    if (m_bFollow && !m_bDragging) {
        const bool bHadSelection = hasSelection();
        m_anchor = m_caret = endPosition();
        m_nDesiredColumn = columnOf(m_caret);
        followCaret();
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
    CLogViewAccessible::NoteCaretMoved(*this);
}

void CLogView::clearSelection() {
    if (hasSelection()) {
        m_anchor = m_caret;
        viewport()->update();
        emit selectionChanged();
        CLogViewAccessible::NoteCaretMoved(*this);
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
    if (oldAnchor != m_anchor || oldCaret != m_caret) {
        CLogViewAccessible::NoteCaretMoved(*this);
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

void CLogView::scrollToOffset(std::uint64_t nOffset) {
    if (m_doc.ReadBytes(nOffset, 2) == "\r\n") {
        nOffset += 2;  // the marker line itself, not the end of the line before it
    }
    const std::uint64_t nLine = m_doc.LineOfOffset(nOffset);
    setCaretPosition({nLine, 0});
    scrollToLine(nLine);
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
    placeGutter();
    updateScrollBars();
    if (m_bFollow && !m_bDragging && !hasSelection() && m_caret == endPosition()) {
        followCaret();  // a view laid out narrow at first must not stay scrolled right
    }
}

void CLogView::followCaret() {
    // Following new traffic shows the line starts whenever the end fits on screen, instead
    // of keeping the view scrolled right to the end of the last line.
    if (columnOf(m_caret) < static_cast<std::uint64_t>(visibleColumnCount())) {
        m_nLeftColumn = 0;
    }
    ensureCaretVisible();
}

void CLogView::focusInEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusInEvent(pEvent);
    viewport()->update();
}

void CLogView::focusOutEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusOutEvent(pEvent);
    viewport()->update();
}
