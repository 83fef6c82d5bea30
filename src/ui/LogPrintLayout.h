// The printed pages of the traffic log, laid out from the log document as they are needed:
// a header with the document's title and the page number, then the log's lines in the
// fixed-width font, bold where the log is bold, long lines wrapped at the right margin.
// With colour by direction (on unless turned off) the blocks print in the colours of
// CLogColours for paper, dark enough to read in black and white, where they differ in
// grey, and the log's own lines in italics.
// Only the start of every page seen so far is kept, so that a log of gigabytes prints and
// previews without being held in memory.
//
// Coordinates are in units of 1/1200 inch from the top left of the printable area; the
// painter given to PaintPage must be scaled to them (see PrepareAndPaint).
#pragma once

#include <QFont>
#include <QPageLayout>
#include <QSizeF>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "logdoc/LogDocument.h"

class QPainter;
class QPaintDevice;

class CLogPrintLayout {
public:
    static constexpr double kUnitsPerInch = 1200.0;
    static constexpr int kTabColumns = 8;
    static constexpr double kFontPoints = 9.0;

    // The text [nFrom, nTo) of `doc` (cut to what the document holds now) on pages of
    // `page`. The document must outlive the layout.
    CLogPrintLayout(const CLogDocument& doc, const QString& strTitle, const QPageLayout& page,
                    std::uint64_t nFrom, std::uint64_t nTo);

    void SetDirectionColours(bool bOn) { m_bDirectionColours = bOn; }

    int RowsPerPage() const { return m_nRowsPerPage; }
    int ColumnsPerRow() const { return m_nColumns; }
    // Whether page `nPage` (from 0) exists; lays out the pages up to it.
    bool HasPage(int nPage);
    // The number of pages (at least 1: an empty log prints one page with its header).
    int PageCount();
    // The size of the printable area, in units.
    QSizeF PaintSize() const { return m_paintSize; }

    // The rows of page `nPage`, each as its text with tabs expanded (empty when there is no
    // such page). For tests and for the painting.
    struct CRow {
        std::uint64_t nStart = 0;  // byte offsets of the row in the document
        std::uint64_t nEnd = 0;
    };
    std::vector<CRow> PageRows(int nPage);

    // Paints page `nPage` with `painter`, already scaled to units.
    void PaintPage(QPainter& painter, int nPage);
    // Scales `painter` (begun on a device of `nDpi` dots per inch whose origin is the top
    // left of the printable area) and paints page `nPage`.
    void PrepareAndPaint(QPainter& painter, double dDpi, int nPage);

    // The log's text was cleared or replaced meanwhile: the pages are gone.
    bool IsStale() const { return m_doc.GetResetCount() != m_nResets; }

private:
    struct CPos {
        std::uint64_t nLine = 0;
        std::uint64_t nOffset = 0;  // where the next row starts, in the document
    };

    // The span of line `nLine`, cut to [m_nFrom, m_nTo).
    CLogLineSpan ClippedLine(std::uint64_t nLine);
    // Lays out one row from `pos`; moves `pos` behind it. False at the end of the text.
    bool NextRow(CPos& pos, CRow* pRow);
    // Where a row that starts at `nStart` ends, within a line that ends at `nLineEnd`.
    std::uint64_t RowEnd(std::uint64_t nStart, std::uint64_t nLineEnd);
    // The line that holds byte `nOffset` (the last line starting at or before it).
    std::uint64_t LineOf(std::uint64_t nOffset);

    const CLogDocument& m_doc;
    QString m_strTitle;
    std::uint64_t m_nResets;
    std::uint64_t m_nFrom;
    std::uint64_t m_nTo;
    std::uint64_t m_nLastLine = 0;  // the last line with text in the range
    bool m_bEmpty = true;

    QFont m_font;
    QFont m_boldFont;
    QFont m_otherFont;
    QFont m_otherBoldFont;
    bool m_bDirectionColours = true;
    double m_dCharWidth = 1;
    double m_dLineHeight = 1;
    double m_dAscent = 1;
    double m_dHeaderHeight = 0;
    QSizeF m_paintSize;
    int m_nRowsPerPage = 1;
    int m_nColumns = 1;

    std::vector<CPos> m_pageStarts;  // the start of every page laid out so far
    bool m_bComplete = false;        // m_pageStarts holds every page

    // A window of line spans, read in batches.
    std::uint64_t m_nCacheFirst = 0;
    std::vector<CLogLineSpan> m_spanCache;
};
