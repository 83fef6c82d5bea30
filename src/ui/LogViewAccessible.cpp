#include "ui/LogViewAccessible.h"

#include <QAccessible>
#include <QScrollBar>

#include <algorithm>

#include "logdoc/DirectionRuns.h"
#include "logdoc/LogDocument.h"
#include "logdoc/TextColumns.h"
#include "ui/LogColours.h"

namespace {

QAccessibleInterface* LogViewFactory(const QString& strClass, QObject* pObject) {
    if (strClass == QLatin1String("CLogView") && pObject != nullptr && pObject->isWidgetType()) {
        return new CLogViewAccessible(static_cast<CLogView*>(pObject));
    }
    return nullptr;
}

CLogViewAccessible::EventSink g_fnEventSink = nullptr;

}  // namespace

void CLogViewAccessible::SetEventSink(EventSink fn) {
    g_fnEventSink = fn;
}

bool CLogViewAccessible::Listening() {
    return g_fnEventSink != nullptr || QAccessible::isActive();
}

void CLogViewAccessible::Send(QAccessibleEvent& event) {
    if (g_fnEventSink != nullptr) {
        g_fnEventSink(&event);
    } else {
        Send(event);
    }
}

CLogViewAccessible::CLogViewAccessible(CLogView* pView)
    : QAccessibleWidget(pView, QAccessible::EditableText) {}

void CLogViewAccessible::InstallFactory() {
    static const bool s_bInstalled = [] {
        QAccessible::installFactory(LogViewFactory);
        return true;
    }();
    (void)s_bInstalled;
}

void* CLogViewAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface) {
        return static_cast<QAccessibleTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State CLogViewAccessible::state() const {
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.editable = false;
    state.selectableText = true;
    return state;
}

QString CLogViewAccessible::text(QAccessible::Text type) const {
    if (type == QAccessible::Value) {
        // The caret's line, as a single-line reader would want it.
        update();
        const CLogView::CTextPos caret = view().caretPosition();
        if (caret.nLine >= m_key.nFirstLine && caret.nLine - m_key.nFirstLine < m_lines.size()) {
            const CLine& line = m_lines[caret.nLine - m_key.nFirstLine];
            return m_strText.mid(line.nOffset, static_cast<qsizetype>(line.bytes.size()) - 1);
        }
        return {};
    }
    return QAccessibleWidget::text(type);
}

std::uint64_t CLogViewAccessible::windowFirstLine() const {
    update();
    return m_key.nFirstLine;
}

std::uint64_t CLogViewAccessible::windowLineCount() const {
    update();
    return m_lines.size();
}

void CLogViewAccessible::update() const {
    const CLogView& v = view();
    const CLogDocument& doc = v.document();
    CKey key;
    key.nGeneration = doc.GetGeneration();
    key.nResets = doc.GetResetCount();
    key.nLines = static_cast<std::uint64_t>(std::max(1, v.visibleLineCount()));
    key.nFirstLine = v.firstVisibleLine();
    const std::uint64_t nCaretLine = v.caretPosition().nLine;
    if (nCaretLine < key.nFirstLine || nCaretLine >= key.nFirstLine + key.nLines) {
        key.nFirstLine = nCaretLine;
    }
    if (key == m_key) {
        return;
    }
    m_key = key;
    m_strText.clear();
    m_lines.clear();
    const std::vector<CLogLineSpan> spans =
        doc.GetLines(key.nFirstLine, static_cast<std::size_t>(key.nLines));
    m_lines.reserve(spans.size());
    for (const CLogLineSpan& span : spans) {
        if (!m_lines.empty()) {
            m_strText += QLatin1Char('\n');
        }
        CLine line;
        line.nOffset = static_cast<int>(m_strText.size());
        line.nStart = span.nStart;
        line.nLength = span.nLength;
        const std::string bytes = doc.ReadBytes(span.nStart, std::min(span.nLength, kMaxLineBytes));
        for (std::size_t i = 0; i < bytes.size();) {
            char32_t cp = 0;
            const std::size_t nBytes = textcol::DecodeAt(bytes, i, cp);
            // What the view shows: tabs as they are, control and binary bytes as symbols.
            const char32_t shown = cp == '\t' ? cp : textcol::DisplayChar(cp);
            if (shown >= 0x10000) {
                m_strText += QChar(QChar::highSurrogate(shown));
                m_strText += QChar(QChar::lowSurrogate(shown));
                line.bytes.push_back(static_cast<std::uint32_t>(i));
            } else {
                m_strText += QChar(static_cast<char16_t>(shown));
            }
            line.bytes.push_back(static_cast<std::uint32_t>(i));
            i += nBytes;
        }
        line.bytes.push_back(static_cast<std::uint32_t>(bytes.size()));
        m_lines.push_back(std::move(line));
    }
}

int CLogViewAccessible::offsetOfPosition(CLogView::CTextPos pos) const {
    update();
    if (m_lines.empty() || pos.nLine < m_key.nFirstLine) {
        return 0;
    }
    if (pos.nLine - m_key.nFirstLine >= m_lines.size()) {
        return static_cast<int>(m_strText.size());
    }
    const CLine& line = m_lines[pos.nLine - m_key.nFirstLine];
    const auto it = std::lower_bound(line.bytes.begin(), line.bytes.end(), pos.nByte);
    const auto nUnit = it == line.bytes.end() ? line.bytes.size() - 1
                                              : static_cast<std::size_t>(it - line.bytes.begin());
    return line.nOffset + static_cast<int>(nUnit);
}

CLogView::CTextPos CLogViewAccessible::positionOfOffset(int nOffset) const {
    update();
    if (m_lines.empty()) {
        return {};
    }
    nOffset = std::clamp(nOffset, 0, static_cast<int>(m_strText.size()));
    // The last line that starts at or before the offset.
    const auto it = std::upper_bound(m_lines.begin(), m_lines.end(), nOffset,
                                     [](int n, const CLine& line) { return n < line.nOffset; });
    const std::size_t nIndex = static_cast<std::size_t>(it - m_lines.begin()) - 1;
    const CLine& line = m_lines[nIndex];
    const std::size_t nUnit = static_cast<std::size_t>(nOffset - line.nOffset);
    const std::uint64_t nLine = m_key.nFirstLine + nIndex;
    if (nUnit + 1 >= line.bytes.size()) {
        // The end of the line offered: its end in the log unless it was cut.
        return {nLine, line.nLength <= kMaxLineBytes ? line.nLength : line.bytes.back()};
    }
    return {nLine, line.bytes[nUnit]};
}

void CLogViewAccessible::selection(int nSelection, int* pStart, int* pEnd) const {
    *pStart = *pEnd = 0;
    if (nSelection != 0 || !view().hasSelection()) {
        return;
    }
    const CLogView::CTextPos from = std::min(view().anchorPosition(), view().caretPosition());
    const CLogView::CTextPos to = std::max(view().anchorPosition(), view().caretPosition());
    *pStart = offsetOfPosition(from);
    *pEnd = offsetOfPosition(to);
}

int CLogViewAccessible::selectionCount() const {
    return view().hasSelection() ? 1 : 0;
}

void CLogViewAccessible::addSelection(int nStart, int nEnd) {
    setSelection(0, nStart, nEnd);
}

void CLogViewAccessible::removeSelection(int nSelection) {
    if (nSelection == 0) {
        view().clearSelection();
    }
}

void CLogViewAccessible::setSelection(int nSelection, int nStart, int nEnd) {
    if (nSelection != 0) {
        return;
    }
    const CLogView::CTextPos from = positionOfOffset(nStart);
    const CLogView::CTextPos to = positionOfOffset(nEnd);
    view().setCaretPosition(from);
    view().setCaretPosition(to, true);
}

int CLogViewAccessible::cursorPosition() const {
    return offsetOfPosition(view().caretPosition());
}

void CLogViewAccessible::setCursorPosition(int nPosition) {
    view().setCaretPosition(positionOfOffset(nPosition));
}

QString CLogViewAccessible::text(int nStart, int nEnd) const {
    update();
    nStart = std::clamp(nStart, 0, static_cast<int>(m_strText.size()));
    nEnd = std::clamp(nEnd, nStart, static_cast<int>(m_strText.size()));
    return m_strText.mid(nStart, nEnd - nStart);
}

int CLogViewAccessible::characterCount() const {
    update();
    return static_cast<int>(m_strText.size());
}

QRect CLogViewAccessible::characterRect(int nOffset) const {
    const CLogView& v = view();
    const CLogView::CTextPos pos = positionOfOffset(nOffset);
    const QFontMetrics fm = v.fontMetrics();
    const int nCharWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const int nHeight = std::max(1, fm.height());
    const auto nColumn = static_cast<std::int64_t>(v.columnOf(pos));
    const std::int64_t nRow =
        static_cast<std::int64_t>(pos.nLine) - static_cast<std::int64_t>(v.firstVisibleLine());
    const std::int64_t nX =
        (nColumn - static_cast<std::int64_t>(v.firstVisibleColumn())) * nCharWidth;
    const std::int64_t nY = nRow * nHeight;
    if (nX < -nCharWidth || nX > v.viewport()->width() || nY < -nHeight ||
        nY > v.viewport()->height()) {
        return {};  // off screen
    }
    const QPoint topLeft =
        v.viewport()->mapToGlobal(QPoint(static_cast<int>(nX), static_cast<int>(nY)));
    return {topLeft, QSize(nCharWidth, nHeight)};
}

int CLogViewAccessible::offsetAtPoint(const QPoint& point) const {
    const CLogView& v = view();
    const QPoint local = v.viewport()->mapFromGlobal(point);
    if (!v.viewport()->rect().contains(local)) {
        return -1;
    }
    const CLogView::CTextPos pos = v.posAtPoint(local);
    update();
    if (pos.nLine < m_key.nFirstLine || pos.nLine - m_key.nFirstLine >= m_lines.size()) {
        return -1;
    }
    return offsetOfPosition(pos);
}

void CLogViewAccessible::scrollToSubstring(int nStart, int /*nEnd*/) {
    view().scrollToLine(positionOfOffset(nStart).nLine);
}

QString CLogViewAccessible::attributes(int nOffset, int* pStart, int* pEnd) const {
    update();
    *pStart = *pEnd = nOffset;
    const CLogView::CTextPos pos = positionOfOffset(nOffset);
    if (m_lines.empty() || nOffset < 0 || nOffset >= static_cast<int>(m_strText.size()) ||
        m_strText[nOffset] == QLatin1Char('\n')) {
        *pEnd = std::min(nOffset + 1, static_cast<int>(m_strText.size()));
        return {};
    }
    const CLine& line = m_lines[pos.nLine - m_key.nFirstLine];
    const std::uint64_t nLineFrom = line.nStart;
    const std::uint64_t nLineTo = line.nStart + line.bytes.back();
    const std::uint64_t nAt = line.nStart + pos.nByte;
    // The stretch of the line around nAt where the weight and the direction stay the same.
    std::uint64_t nFrom = nLineFrom;
    std::uint64_t nTo = nLineTo;
    const auto narrow = [&](std::uint64_t nRunStart, std::uint64_t nRunEnd, bool& bInside) {
        if (nRunStart <= nAt && nAt < nRunEnd) {
            bInside = true;
            nFrom = std::max(nFrom, nRunStart);
            nTo = std::min(nTo, nRunEnd);
        } else if (nRunEnd <= nAt) {
            nFrom = std::max(nFrom, nRunEnd);
        } else {
            nTo = std::min(nTo, nRunStart);
        }
    };
    const CLogView& v = view();
    bool bBold = false;
    for (const CBoldRun& run : v.document().GetBoldRuns(nLineFrom, nLineTo)) {
        narrow(run.nStart, run.nEnd, bBold);
    }
    QString strAttributes;
    if (bBold) {
        strAttributes += QStringLiteral("font-weight:bold;");
    }
    if (v.directionColours()) {
        std::vector<directionruns::CDirectionRun> runs;
        directionruns::BlockRuns(v.document().GetRecords(), nLineFrom, nLineTo, runs);
        bool bInBlock = false;
        LogDirection direction = LogDirection::ClientToServer;
        for (const directionruns::CDirectionRun& run : runs) {
            bool bInside = false;
            narrow(run.nStart, run.nEnd, bInside);
            if (bInside) {
                bInBlock = true;
                direction = run.direction;
            }
        }
        const CLogColours colours = CLogColours::ForPalette(v.palette());
        const QColor colour = bInBlock ? colours.ForDirection(direction) : colours.other;
        if (bInBlock) {
            strAttributes += direction == LogDirection::ServerToClient
                                 ? QStringLiteral("traffic-direction:server-to-client;")
                                 : QStringLiteral("traffic-direction:client-to-server;");
        } else {
            strAttributes += QStringLiteral("font-style:italic;");
        }
        strAttributes += QStringLiteral("color:rgb(%1,%2,%3);")
                             .arg(colour.red())
                             .arg(colour.green())
                             .arg(colour.blue());
    }
    *pStart = offsetOfPosition({pos.nLine, nFrom - line.nStart});
    *pEnd = std::max(offsetOfPosition({pos.nLine, nTo - line.nStart}), nOffset + 1);
    return strAttributes;
}

void CLogViewAccessible::NoteTextAdded(CLogView& view, std::uint64_t nFrom) {
    if (!Listening()) {
        return;
    }
    auto* pInterface =
        dynamic_cast<CLogViewAccessible*>(QAccessible::queryAccessibleInterface(&view));
    if (pInterface == nullptr) {
        return;
    }
    const CLogDocument& doc = view.document();
    if (nFrom >= doc.GetSize()) {
        return;
    }
    const std::uint64_t nLine = doc.LineOfOffset(nFrom);
    const std::vector<CLogLineSpan> spans = doc.GetLines(nLine, 1);
    if (spans.empty()) {
        return;
    }
    const CLogView::CTextPos from{nLine, nFrom - std::min(nFrom, spans[0].nStart)};
    const int nStart = pInterface->offsetOfPosition(from);
    const QString strAdded = pInterface->text(nStart, pInterface->characterCount());
    if (!strAdded.isEmpty()) {
        QAccessibleTextInsertEvent event(&view, nStart, strAdded);
        Send(event);
    }
    NoteCaretMoved(view);
}

void CLogViewAccessible::NoteCaretMoved(CLogView& view) {
    if (!Listening()) {
        return;
    }
    auto* pInterface =
        dynamic_cast<CLogViewAccessible*>(QAccessible::queryAccessibleInterface(&view));
    if (pInterface == nullptr) {
        return;
    }
    QAccessibleTextCursorEvent cursor(&view, pInterface->cursorPosition());
    Send(cursor);
    int nStart = 0;
    int nEnd = 0;
    pInterface->selection(0, &nStart, &nEnd);
    QAccessibleTextSelectionEvent selection(&view, nStart, nEnd);
    Send(selection);
}
