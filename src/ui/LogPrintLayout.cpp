#include "ui/LogPrintLayout.h"

#include "logdoc/DirectionRuns.h"
#include "ui/LogColours.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHash>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Whether a character must be drawn on its own: past the Latin, IPA and spacing-modifier
// blocks that the fixed-width font draws one column each come combining marks, right-to-left
// letters, direction controls and characters from fallback fonts of other widths, any of
// which would reorder a segment drawn as one text or move what follows off its column.
bool DrawsAlone(const QString& strChar) {
    if (strChar.isEmpty()) {
        return false;
    }
    const char32_t cp = strChar.size() > 1 && strChar[0].isHighSurrogate()
                            ? QChar::surrogateToUcs4(strChar[0], strChar[1])
                            : strChar[0].unicode();
    return cp >= 0x300;
}

constexpr std::size_t kSpanBatch = 4096;
constexpr int kMaxUtf8Bytes = 4;

// The length of the UTF-8 sequence that starts with `c` (1 for a stray byte).
int SequenceLength(unsigned char c) {
    if (c >= 0xF0 && c <= 0xF4) {
        return 4;
    }
    if (c >= 0xE0) {
        return c <= 0xEF ? 3 : 1;
    }
    if (c >= 0xC2) {
        return 2;
    }
    return 1;
}

}  // namespace

CLogPrintLayout::CLogPrintLayout(const CLogDocument& doc, const QString& strTitle,
                                 const QPageLayout& page, std::uint64_t nFrom, std::uint64_t nTo)
    : m_doc(doc), m_strTitle(strTitle), m_nResets(doc.GetResetCount()) {
    const std::uint64_t nSize = doc.GetSize();
    m_nTo = std::min(nTo, nSize);
    m_nFrom = std::min(nFrom, m_nTo);

    m_font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_font.setPixelSize(static_cast<int>(std::lround(kFontPoints * kUnitsPerInch / 72.0)));
    m_font.setHintingPreference(QFont::PreferNoHinting);
    m_font.setKerning(false);
    m_boldFont = m_font;
    m_boldFont.setBold(true);
    m_otherFont = m_font;
    m_otherFont.setItalic(true);
    m_otherBoldFont = m_boldFont;
    m_otherBoldFont.setItalic(true);
    const QFontMetricsF metrics(m_font);
    m_dCharWidth = std::max(1.0, metrics.horizontalAdvance(QLatin1Char('M')));
    m_dLineHeight = std::max(1.0, metrics.lineSpacing());
    m_dAscent = metrics.ascent();
    m_dHeaderHeight = 2 * m_dLineHeight;

    const QRectF paintInches = page.paintRect(QPageLayout::Inch);
    m_paintSize = paintInches.size() * kUnitsPerInch;
    m_nColumns = std::max(1, static_cast<int>(m_paintSize.width() / m_dCharWidth));
    m_nRowsPerPage =
        std::max(1, static_cast<int>((m_paintSize.height() - m_dHeaderHeight) / m_dLineHeight));

    const std::uint64_t nLines = doc.GetLineCount();
    CPos start;
    if (nLines > 0 && m_nFrom < m_nTo) {
        start.nLine = LineOf(m_nFrom);
        m_nLastLine = LineOf(m_nTo - 1);
        start.nOffset = m_nFrom;
        m_bEmpty = false;
    }
    m_pageStarts.push_back(start);
    m_bComplete = m_bEmpty;
}

std::uint64_t CLogPrintLayout::LineOf(std::uint64_t nOffset) {
    std::uint64_t nLow = 0;
    std::uint64_t nHigh = m_doc.GetLineCount();  // the answer lies in [nLow, nHigh)
    while (nHigh - nLow > 1) {
        const std::uint64_t nMid = nLow + (nHigh - nLow) / 2;
        const std::vector<CLogLineSpan> span = m_doc.GetLines(nMid, 1);
        if (!span.empty() && span[0].nStart <= nOffset) {
            nLow = nMid;
        } else {
            nHigh = nMid;
        }
    }
    return nLow;
}

CLogLineSpan CLogPrintLayout::ClippedLine(std::uint64_t nLine) {
    if (nLine < m_nCacheFirst || nLine >= m_nCacheFirst + m_spanCache.size()) {
        m_nCacheFirst = nLine;
        m_spanCache = m_doc.GetLines(nLine, kSpanBatch);
    }
    CLogLineSpan span;
    if (nLine - m_nCacheFirst < m_spanCache.size()) {
        span = m_spanCache[nLine - m_nCacheFirst];
    }
    const std::uint64_t nStart = std::clamp(span.nStart, m_nFrom, m_nTo);
    const std::uint64_t nEnd = std::clamp(span.nStart + span.nLength, nStart, m_nTo);
    return {nStart, nEnd - nStart};
}

std::uint64_t CLogPrintLayout::RowEnd(std::uint64_t nStart, std::uint64_t nLineEnd) {
    const auto nColumns = static_cast<std::uint64_t>(m_nColumns);
    // Every byte takes at most a tab's columns: a short line fits without reading it.
    if ((nLineEnd - nStart) * kTabColumns <= nColumns) {
        return nLineEnd;
    }
    const std::uint64_t nRead = std::min(nLineEnd - nStart, nColumns * kMaxUtf8Bytes);
    const std::string bytes = m_doc.ReadBytes(nStart, nRead);
    std::uint64_t nColumn = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const std::uint64_t nNext =
            c == '\t' ? (nColumn / kTabColumns + 1) * kTabColumns : nColumn + 1;
        if (nNext > nColumns && i > 0) {
            break;  // the character starts the next row
        }
        nColumn = nNext;
        i += static_cast<std::size_t>(SequenceLength(c));
        if (nColumn >= nColumns) {
            break;
        }
    }
    return std::min(nLineEnd, nStart + std::max<std::uint64_t>(i, 1));
}

bool CLogPrintLayout::NextRow(CPos& pos, CRow* pRow) {
    if (m_bEmpty || pos.nLine > m_nLastLine || IsStale()) {
        return false;
    }
    const CLogLineSpan line = ClippedLine(pos.nLine);
    const std::uint64_t nLineEnd = line.nStart + line.nLength;
    pos.nOffset = std::max(pos.nOffset, line.nStart);
    const std::uint64_t nRowEnd =
        pos.nOffset >= nLineEnd ? nLineEnd : RowEnd(pos.nOffset, nLineEnd);
    if (pRow != nullptr) {
        *pRow = {pos.nOffset, nRowEnd};
    }
    if (nRowEnd >= nLineEnd) {
        ++pos.nLine;
        pos.nOffset = 0;  // the next line's start
    } else {
        pos.nOffset = nRowEnd;
    }
    return true;
}

bool CLogPrintLayout::HasPage(int nPage) {
    if (nPage < 0) {
        return false;
    }
    while (!m_bComplete && static_cast<std::size_t>(nPage) >= m_pageStarts.size()) {
        CPos pos = m_pageStarts.back();
        int nRows = 0;
        while (nRows < m_nRowsPerPage && NextRow(pos, nullptr)) {
            ++nRows;
        }
        CPos probe = pos;
        if (nRows < m_nRowsPerPage || !NextRow(probe, nullptr)) {
            m_bComplete = true;  // the last page is the one laid out last
        } else {
            m_pageStarts.push_back(pos);
        }
    }
    return static_cast<std::size_t>(nPage) < m_pageStarts.size();
}

int CLogPrintLayout::PageCount() {
    while (!m_bComplete) {
        HasPage(static_cast<int>(m_pageStarts.size()));
    }
    return static_cast<int>(m_pageStarts.size());
}

std::vector<CLogPrintLayout::CRow> CLogPrintLayout::PageRows(int nPage) {
    std::vector<CRow> rows;
    if (!HasPage(nPage)) {
        return rows;
    }
    CPos pos = m_pageStarts[static_cast<std::size_t>(nPage)];
    CRow row;
    while (static_cast<int>(rows.size()) < m_nRowsPerPage && NextRow(pos, &row)) {
        rows.push_back(row);
    }
    return rows;
}

void CLogPrintLayout::PrepareAndPaint(QPainter& painter, double dDpi, int nPage) {
    painter.save();
    painter.scale(dDpi / kUnitsPerInch, dDpi / kUnitsPerInch);
    PaintPage(painter, nPage);
    painter.restore();
}

void CLogPrintLayout::PaintPage(QPainter& painter, int nPage) {
    const std::vector<CRow> rows = PageRows(nPage);
    painter.setPen(Qt::black);
    std::array<QHash<QString, double>, 4> widths;  // per font: plain, bold, other, other bold

    // The header: the title on the left, the page number on the right, a rule below.
    painter.setFont(m_font);
    const QRectF header(0, 0, m_paintSize.width(), m_dLineHeight);
    painter.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, m_strTitle);
    painter.drawText(header, Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("Page %1").arg(nPage + 1));
    const double dRule = m_dLineHeight * 1.4;
    painter.drawLine(QPointF(0, dRule), QPointF(m_paintSize.width(), dRule));

    double dBaseline = m_dHeaderHeight + m_dAscent;
    const CLogColours colours = CLogColours::ForPrint();
    constexpr int kOther = 2;  // the log's own lines; else a LogDirection
    std::vector<directionruns::CDirectionRun> dirRuns;
    for (const CRow& row : rows) {
        const std::string bytes = m_doc.ReadBytes(row.nStart, row.nEnd - row.nStart);
        const std::vector<CBoldRun> runs = m_doc.GetBoldRuns(row.nStart, row.nEnd);
        if (m_bDirectionColours) {
            directionruns::BlockRuns(m_doc.GetRecords(), row.nStart, row.nEnd, dirRuns);
        }
        // Segments of equal weight and kind, each drawn at its column.
        std::size_t nRun = 0;
        std::size_t nDir = 0;
        std::uint64_t nColumn = 0;
        std::uint64_t nSegmentColumn = 0;
        QString strSegment;
        bool bSegmentBold = false;
        int nSegmentKind = kOther;
        const auto segmentFont = [&]() -> const QFont& {
            if (m_bDirectionColours && nSegmentKind == kOther) {
                return bSegmentBold ? m_otherBoldFont : m_otherFont;
            }
            return bSegmentBold ? m_boldFont : m_font;
        };
        // The width of a character drawn alone, measured once per page and font.
        const auto charWidth = [&](const QString& strChar) {
            const bool bOtherFont = m_bDirectionColours && nSegmentKind == kOther;
            QHash<QString, double>& known =
                widths[(bOtherFont ? 2u : 0u) + (bSegmentBold ? 1u : 0u)];
            const auto it = known.constFind(strChar);
            if (it != known.cend()) {
                return it.value();
            }
            const double dWidth =
                QFontMetricsF(segmentFont(), painter.device()).horizontalAdvance(strChar);
            known.insert(strChar, dWidth);
            return dWidth;
        };
        auto flush = [&] {
            if (!strSegment.isEmpty()) {
                painter.setFont(segmentFont());
                if (m_bDirectionColours) {
                    painter.setPen(
                        nSegmentKind == kOther
                            ? colours.other
                            : colours.ForDirection(static_cast<LogDirection>(nSegmentKind)));
                }
                painter.drawText(
                    QPointF(static_cast<double>(nSegmentColumn) * m_dCharWidth, dBaseline),
                    strSegment);
                strSegment.clear();
            }
        };
        std::size_t i = 0;
        while (i < bytes.size()) {
            const std::uint64_t nOffset = row.nStart + i;
            while (nRun < runs.size() && runs[nRun].nEnd <= nOffset) {
                ++nRun;
            }
            const bool bBold = nRun < runs.size() && runs[nRun].nStart <= nOffset;
            while (nDir < dirRuns.size() && dirRuns[nDir].nEnd <= nOffset) {
                ++nDir;
            }
            const int nKind =
                m_bDirectionColours && nDir < dirRuns.size() && dirRuns[nDir].nStart <= nOffset
                    ? static_cast<int>(dirRuns[nDir].direction)
                    : kOther;
            const auto c = static_cast<unsigned char>(bytes[i]);
            const auto nLength = std::min<std::size_t>(static_cast<std::size_t>(SequenceLength(c)),
                                                       bytes.size() - i);
            if (bBold != bSegmentBold || nKind != nSegmentKind || strSegment.isEmpty()) {
                flush();
                bSegmentBold = bBold;
                nSegmentKind = nKind;
                nSegmentColumn = nColumn;
            }
            if (c == '\t') {
                const std::uint64_t nNext = (nColumn / kTabColumns + 1) * kTabColumns;
                strSegment += QString(static_cast<qsizetype>(nNext - nColumn), QLatin1Char(' '));
                nColumn = nNext;
            } else {
                const QString strChar =
                    QString::fromUtf8(bytes.data() + i, static_cast<qsizetype>(nLength));
                if (DrawsAlone(strChar)) {
                    // Drawn at its own column, so that it neither reorders nor moves the
                    // characters around it; one wider than a column (an ideograph, a long
                    // arrow) is narrowed to it, as on screen, instead of covering the next.
                    flush();
                    nSegmentColumn = nColumn;
                    strSegment = strChar;
                    const double dWidth = charWidth(strChar);
                    if (dWidth > m_dCharWidth * 1.25) {
                        painter.save();
                        const double dX = static_cast<double>(nColumn) * m_dCharWidth;
                        painter.translate(dX, 0);
                        painter.scale(m_dCharWidth / dWidth, 1.0);
                        painter.translate(-dX, 0);
                        flush();
                        painter.restore();
                    } else {
                        flush();
                    }
                } else {
                    strSegment += strChar;
                }
                ++nColumn;
            }
            i += nLength;
        }
        flush();
        dBaseline += m_dLineHeight;
    }
}
