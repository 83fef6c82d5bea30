// The log view's painting: only the lines and columns on screen.
#include <QElapsedTimer>
#include <QGlyphRun>
#include <QPainter>
#include <QTimer>
#include <algorithm>

#include "logdoc/BlockTimes.h"
#include "logdoc/DirectionRuns.h"
#include "logdoc/LogDocument.h"
#include "logdoc/TextColumns.h"
#include "ui/LogColours.h"
#include "ui/LogGlyphCache.h"
#include "ui/LogGutter.h"
#include "ui/LogView.h"

void CLogView::paintEvent(QPaintEvent*) {
    QElapsedTimer paintTime;
    paintTime.start();
    const struct CPaintCost {
        QElapsedTimer& timer;
        qint64& nNs;
        ~CPaintCost() { nNs = timer.nsecsElapsed(); }
    } cost{paintTime, m_nPaintNs};
    if (m_pGutter != nullptr && m_bTimestamps) {
        m_pGutter->update();  // its lines are the text's
    }
    QPainter painter(viewport());
    const QPalette pal = palette();
    painter.fillRect(viewport()->rect(), pal.base());
    const QFont plainFont = font();
    if (m_pGlyphs == nullptr || m_glyphFont != plainFont) {
        if (m_pGlyphs == nullptr) {
            m_pGlyphs = std::make_unique<CLogGlyphCache>();
        }
        m_pGlyphs->setFont(
            plainFont, std::max(1, QFontMetrics(plainFont).horizontalAdvance(QLatin1Char('M'))));
        m_glyphFont = plainFont;
    }
    CLogGlyphCache& glyphCache = *m_pGlyphs;
    m_bGlyphsPending = false;
    const QFontMetrics fm(plainFont);
    const int nCharWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const int nLineHeight = std::max(1, fm.height());
    const std::uint64_t nColumns = static_cast<std::uint64_t>(visibleColumnCount()) + 1;
    const std::uint64_t nLeft = m_nLeftColumn;
    const std::size_t nRows = static_cast<std::size_t>(viewport()->height() / nLineHeight + 1);

    // With the focus, a frame in the highlight colour round the text, so that the focus is
    // seen also where the caret is off screen or the log is empty.
    const struct CFocusFrame {
        QPainter& painter;
        const QWidget& view;
        QWidget& viewport;
        QColor colour;
        ~CFocusFrame() {
            if (view.hasFocus()) {
                painter.setPen(QPen(colour, 2));
                painter.setBrush(Qt::NoBrush);
                painter.drawRect(viewport.rect().adjusted(1, 1, -1, -1));
            }
        }
    } focusFrame{painter, *this, *viewport(), pal.highlight().color()};
    std::vector<CGlyphCell> cells;
    CGlyphBatch glyphRun;
    const std::vector<CLogLineSpan> spans = m_doc.GetLines(m_nTopLine, nRows);
    if (spans.empty()) {
        return;
    }
    const std::vector<CBoldRun> runs =
        m_doc.GetBoldRuns(spans.front().nStart, spans.back().nStart + spans.back().nLength);
    const CTextPos selFrom = std::min(m_anchor, m_caret);
    const CTextPos selTo = std::max(m_anchor, m_caret);
    std::size_t iRun = 0;
    // What each byte is: kOther (the log's own lines) or a block's direction.
    constexpr int kOther = 2;
    const CLogColours colours = CLogColours::ForPalette(pal);
    std::vector<directionruns::CDirectionRun> dirRuns;
    if (m_bDirectionColours) {
        directionruns::BlockRuns(m_doc.GetRecords(), spans.front().nStart,
                                 spans.back().nStart + spans.back().nLength, dirRuns);
    }
    std::size_t iDir = 0;
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
        // The run's characters: each drawn in its own column, never laid out together.
        cells.clear();
        std::uint64_t nRunColumn = 0;
        bool bRunBold = false;
        int nRunKind = kOther;
        bool bRunSelected = false;
        bool bRunFound = false;
        auto flush = [&](std::uint64_t nEndColumn) {
            if (cells.empty() && !bRunSelected) {
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
            const bool bOther = m_bDirectionColours && nRunKind == kOther;
            const auto variant = static_cast<CLogGlyphCache::Variant>(
                (bRunBold ? CLogGlyphCache::Bold : 0) | (bOther ? CLogGlyphCache::Italic : 0));
            QColor textColour = pal.text().color();
            if (m_bDirectionColours) {
                textColour = bOther ? colours.other
                                    : colours.ForDirection(static_cast<LogDirection>(nRunKind));
            }
            painter.setPen(bRunSelected ? pal.highlightedText().color()
                           : bRunFound  ? QColor(Qt::black)
                                        : textColour);
            drawCells(painter, glyphCache, variant, cells, nLeft, nCharWidth, y + fm.ascent(),
                      paintTime, glyphRun);
            cells.clear();
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
                while (iDir < dirRuns.size() && dirRuns[iDir].nEnd <= nAt) {
                    ++iDir;
                }
                const int nKind = iDir < dirRuns.size() && dirRuns[iDir].nStart <= nAt
                                      ? static_cast<int>(dirRuns[iDir].direction)
                                      : kOther;
                const bool bSelected = nByte >= nSelFrom && nByte < nSelTo;
                while (iFound < found.size() && found[iFound].second <= nAt) {
                    ++iFound;
                }
                const bool bFound = iFound < found.size() && found[iFound].first <= nAt;
                if (cells.empty() && !bRunSelected) {
                    nRunColumn = nColumn;
                    bRunBold = bBold;
                    nRunKind = nKind;
                    bRunSelected = bSelected;
                    bRunFound = bFound;
                } else if (bBold != bRunBold || nKind != nRunKind || bSelected != bRunSelected ||
                           bFound != bRunFound || cp == '\t') {
                    flush(nColumn);
                    nRunColumn = nColumn;
                    bRunBold = bBold;
                    nRunKind = nKind;
                    bRunSelected = bSelected;
                    bRunFound = bFound;
                }
                if (cp == '\t') {
                    flush(nColumn + nWidth);  // a tab draws nothing but its selection
                    bRunSelected = false;
                } else if (cp != ' ') {
                    // A long line's character of several bytes keeps its columns: drawn in
                    // the first, the others stay empty.
                    cells.push_back({textcol::DisplayChar(cp), nColumn});
                } else if (cells.empty()) {
                    cells.push_back({cp, nColumn});  // a run that begins with spaces
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
    if (m_bGlyphsPending && !m_glyphTimer.isActive()) {
        // The characters left out are looked up when the events waiting now are handled,
        // and painted then.
        m_glyphTimer.start();
    }
}

void CLogView::lookUpPendingGlyphs() {
    if (m_pGlyphs == nullptr) {
        m_pendingGlyphs.clear();
        m_pendingKeys.clear();
        return;
    }
    QElapsedTimer timer;
    timer.start();
    // At least one: a font that takes longer than the budget to load must still load.
    std::size_t nDone = 0;
    while (nDone < m_pendingGlyphs.size() &&
           (nDone == 0 || timer.nsecsElapsed() < m_nGlyphBudgetNs)) {
        const auto [cp, nVariant] = m_pendingGlyphs[nDone++];
        m_pendingKeys.remove((std::uint64_t{cp} << 2) | static_cast<unsigned>(nVariant));
        (void)m_pGlyphs->resolve(cp, static_cast<CLogGlyphCache::Variant>(nVariant));
    }
    m_pendingGlyphs.erase(m_pendingGlyphs.begin(),
                          m_pendingGlyphs.begin() + static_cast<std::ptrdiff_t>(nDone));
    if (!m_pendingGlyphs.empty()) {
        m_glyphTimer.start();
    }
    viewport()->update();
}

void CLogView::drawCells(QPainter& painter, CLogGlyphCache& glyphCache, int nVariant,
                         const std::vector<CGlyphCell>& cells, std::uint64_t nLeft, int nCharWidth,
                         int nBaseline, const QElapsedTimer& paintTime, CGlyphBatch& batch) {
    const auto variant = static_cast<CLogGlyphCache::Variant>(nVariant);
    batch.nFont = UINT16_MAX;
    batch.fScale = 1.0f;
    batch.indexes.clear();
    batch.positions.clear();
    const auto draw = [&] {
        if (!batch.indexes.isEmpty()) {
            QGlyphRun run;
            run.setRawFont(glyphCache.rawFont(batch.nFont));
            run.setGlyphIndexes(batch.indexes);
            run.setPositions(batch.positions);
            if (batch.fScale != 1.0f) {
                // Glyphs wider than a cell, narrowed to theirs.
                painter.save();
                painter.scale(batch.fScale, 1.0);
                painter.drawGlyphRun(QPointF(0, 0), run);
                painter.restore();
            } else {
                painter.drawGlyphRun(QPointF(0, 0), run);
            }
            batch.indexes.clear();
            batch.positions.clear();
        }
    };
    for (const CGlyphCell& cell : cells) {
        if (cell.cp == ' ') {
            continue;
        }
        const CLogGlyphCache::CGlyphs* pGlyphs = glyphCache.find(cell.cp, variant);
        if (pGlyphs == nullptr && paintTime.nsecsElapsed() < m_nGlyphBudgetNs) {
            pGlyphs = glyphCache.findInLoadedFonts(cell.cp, variant);
        }
        if (pGlyphs == nullptr) {
            // A character met for the first time whose font is not loaded yet (or no
            // time left in this paint to look): its column stays empty until the look-up,
            // which runs between paints, and the paint after it.
            const std::uint64_t nKey =
                (std::uint64_t{cell.cp} << 2) | static_cast<unsigned>(nVariant);
            if (m_pendingGlyphs.size() < kMaxPendingGlyphs && !m_pendingKeys.contains(nKey)) {
                m_pendingKeys.insert(nKey);
                m_pendingGlyphs.push_back({cell.cp, nVariant});
            }
            m_bGlyphsPending = true;
            continue;
        }
        const CLogGlyphCache::CGlyphs glyphs = *pGlyphs;
        if (glyphs.nCount == 0) {
            continue;
        }
        if (glyphs.nFont != batch.nFont || glyphs.fScale != batch.fScale) {
            draw();
            batch.nFont = glyphs.nFont;
            batch.fScale = glyphs.fScale;
        }
        const double dX = static_cast<double>(static_cast<std::int64_t>(cell.nColumn) -
                                              static_cast<std::int64_t>(nLeft)) *
                          nCharWidth;
        for (std::size_t k = 0; k < glyphs.nCount; ++k) {
            batch.indexes.push_back(glyphs.glyphs[k]);
            batch.positions.push_back(QPointF(dX / glyphs.fScale + glyphs.offsets[k], nBaseline));
        }
    }
    draw();
}

void CLogView::paintGutter(QWidget& gutter) {
    QPainter painter(&gutter);
    const QPalette pal = palette();
    painter.fillRect(gutter.rect(), pal.window());
    painter.setFont(font());
    painter.setPen(pal.windowText().color());
    const QFontMetrics fm(font());
    const int nLineHeight = std::max(1, fm.height());
    const int nSpace = fm.horizontalAdvance(QLatin1Char(' '));
    const std::size_t nRows = static_cast<std::size_t>(viewport()->height() / nLineHeight + 1);
    blocktimes::MarkerTimes(m_doc, m_nTopLine, nRows, m_times);
    for (std::size_t row = 0; row < m_times.size(); ++row) {
        if (m_times[row] != blocktimes::kNoTime) {
            const std::string strTime = blocktimes::FormatTime(m_times[row]);
            painter.drawText(
                nSpace, static_cast<int>(row) * nLineHeight + fm.ascent(),
                QString::fromLatin1(strTime.data(), static_cast<qsizetype>(strTime.size())));
        }
    }
}
