// The log view's text positions: lines as far as needed, columns, characters, words.
#include <algorithm>

#include "logdoc/LogDocument.h"
#include "logdoc/TextColumns.h"
#include "ui/LogView.h"

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
