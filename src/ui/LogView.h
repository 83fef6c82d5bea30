// The traffic log view: a read-only window over a CLogDocument that paints only the lines
// and columns on screen, so that a log of gigabytes scrolls and repaints at once. The
// document is polled on a timer (at most 30 times a second) while text arrives, so that
// appending never waits for painting.
//
// Text in the system's fixed-width font, no wrapping, tabs to multiples of eight, bold
// runs bold. Lines longer than kLongLineBytes are laid out one column per byte (so that
// only the visible part is read). Keyboard and mouse selection, Copy and Select All.
// "Follow new traffic" (on by default): every arrival moves the caret to the end, clears
// the selection and scrolls to the end; off, new text arrives and nothing moves.
// Timestamps (off by default): a gutter left of the text shows beside each marker line the
// local time its block arrived (HH:MM:SS.mmm), found from the document's block records for
// the lines on screen only; the text, Copy and saved files do not change.
// Colour by direction (on by default): blocks from the client and from the server in two
// colours of CLogColours, the log's own lines in a third, in italics; marker lines stay
// bold. Only the painting changes. Ctrl with the mouse wheel asks for a larger or smaller
// font (zoomRequested); the window decides.
//
// GUI thread only, like every widget; the document may be appended to from any thread.
#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QFont>
#include <QList>
#include <QPointF>
#include <QSet>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CLogDocument;
class CLogGlyphCache;
class CLogGutter;
class QPainter;

class CLogView : public QAbstractScrollArea {
    Q_OBJECT

public:
    static constexpr std::uint64_t kLongLineBytes = 64 * 1024;
    // The largest selection that Copy puts on the clipboard.
    static constexpr std::uint64_t kMaxCopyBytes = 256ull << 20;
    static constexpr int kPollMs = 33;

    // A place in the text: a line and a byte offset within it (at a character start).
    struct CTextPos {
        std::uint64_t nLine = 0;
        std::uint64_t nByte = 0;
        auto operator<=>(const CTextPos&) const = default;
    };

    explicit CLogView(CLogDocument& doc, QWidget* pParent = nullptr);
    ~CLogView() override;

    // Characters met for the first time are looked up in the fonts loaded already for at
    // most this long per paint. Those no loaded font has (a script met for the first time,
    // whose font takes tens of milliseconds to load) or left over wait for a look-up
    // between paints, which runs about as long (but at least one character) and repaints.
    static constexpr qint64 kGlyphBudgetNs = 6'000'000;
    void setGlyphLookupBudget(qint64 nNs) { m_nGlyphBudgetNs = nNs; }
    // Whether the last paint left characters out (a look-up and a paint are queued).
    bool glyphsPending() const { return m_bGlyphsPending; }
    // Looks up the characters the last paints left out (the queued look-up does this).
    void lookUpPendingGlyphs();

    CLogDocument& document() const { return m_doc; }

    void setFollow(bool bFollow);
    bool follow() const { return m_bFollow; }

    void setDirectionColours(bool bOn);
    bool directionColours() const { return m_bDirectionColours; }

    void setTimestamps(bool bShow);
    bool timestamps() const { return m_bTimestamps; }
    // The gutter's width in pixels (0 while timestamps are off).
    int gutterWidth() const;
    // What the gutter shows beside line nLine: the time of the block whose marker line it
    // is, or an empty text.
    QString timestampOfLine(std::uint64_t nLine) const;

    bool hasSelection() const { return m_anchor != m_caret; }
    // Whether the log holds any text (Select All is enabled then).
    bool hasText() const;
    // The selected text, every line break as "\n"; at most kMaxCopyBytes.
    QString selectedText() const;
    CTextPos caretPosition() const { return m_caret; }
    CTextPos anchorPosition() const { return m_anchor; }
    // Moves the caret (and with bExtend only the caret, else the anchor too).
    void setCaretPosition(CTextPos pos, bool bExtend = false);
    std::uint64_t firstVisibleLine() const { return m_nTopLine; }
    std::uint64_t firstVisibleColumn() const { return m_nLeftColumn; }
    int visibleLineCount() const;
    void scrollToLine(std::uint64_t nLine);
    // Puts the caret at the start of the line that holds the document's byte nOffset (a
    // marker's leading line break is passed over) and scrolls to it.
    void scrollToOffset(std::uint64_t nOffset);

    // Byte ranges [first, second) of the document, in order and apart.
    using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    // Found text to mark: asked at each paint for the ranges that overlap the text on
    // screen ([nFrom, nTo) of the document); none when empty.
    using HighlightFn = std::function<Ranges(std::uint64_t nFrom, std::uint64_t nTo)>;
    void setHighlighter(HighlightFn fn);
    // Selects [nFrom, nTo) of the document (character starts) and scrolls it into view,
    // to the middle of the window when it was off screen.
    void selectRange(std::uint64_t nFrom, std::uint64_t nTo);
    // The byte range of the selection in the document.
    std::pair<std::uint64_t, std::uint64_t> selectionRange() const;

public slots:
    // Copies the selection to the clipboard; false when there is none or it was longer
    // than kMaxCopyBytes (then its start is copied).
    bool copy();
    void selectAll();
    void clearSelection();
    // Takes in what the document gained or lost since the last look (the timer does this).
    void refresh();

signals:
    void selectionChanged();
    // The log gained or lost text (at most as often as the timer fires).
    void contentChanged();
    // Ctrl with the mouse wheel: nSteps notches to zoom in (> 0) or out (< 0).
    void zoomRequested(int nSteps);

protected:
    bool event(QEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void wheelEvent(QWheelEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // Makes the fonts that hold the characters of binary data ready before painting needs them.
    void loadFallbackFonts();
    friend class CLogGutter;
    friend class CLogViewAccessible;
    // Tells assistive technology what arrived since the last time, at most every
    // CLogViewAccessible::kEventMs.
    void onAccessibleTimer();
    QTimer m_accessibleTimer;
    int m_nZoomDelta = 0;  // wheel angle with Ctrl not yet a whole notch (touchpads)
    std::uint64_t m_nAccessibleFrom = UINT64_MAX;  // the first byte not yet announced
    std::uint64_t m_nAccessibleSeenSize = 0;
    // Paints the timestamps of the lines on screen into the gutter.
    void paintGutter(QWidget& gutter);
    void placeGutter();

    // A line as far as it is needed: its span and its bytes from nFrom on.
    struct CLineText {
        std::uint64_t nStart = 0;   // offset of the line in the document
        std::uint64_t nLength = 0;  // bytes without the break
        std::uint64_t nFrom = 0;    // offset in the line of text[0]
        std::string text;
        bool bLong = false;  // laid out one column per byte
    };

    // A character to draw and its column.
    struct CGlyphCell {
        char32_t cp = 0;
        std::uint64_t nColumn = 0;
    };
    // The glyphs of one font gathered for one positioned glyph run.
    struct CGlyphBatch {
        std::uint16_t nFont = 0;
        float fScale = 1.0f;  // the batch's horizontal scale; its positions are divided by it
        QList<quint32> indexes;
        QList<QPointF> positions;
    };
    // Draws each cell's glyphs at its column (nVariant: a CLogGlyphCache::Variant), looking
    // up characters not yet known while paintTime is within the budget.
    void drawCells(QPainter& painter, CLogGlyphCache& glyphCache, int nVariant,
                   const std::vector<CGlyphCell>& cells, std::uint64_t nLeft, int nCharWidth,
                   int nBaseline, const QElapsedTimer& paintTime, CGlyphBatch& batch);

    // The whole line when it is short, else the bytes from nFromByte (about nBytes).
    CLineText fetchLine(std::uint64_t nLine, std::uint64_t nFromByte = 0,
                        std::uint64_t nBytes = 4096) const;
    std::uint64_t lineCount() const;
    std::uint64_t columnOf(CTextPos pos) const;
    CTextPos posAtColumn(std::uint64_t nLine, std::uint64_t nColumn) const;
    CTextPos posAtPoint(const QPoint& point) const;
    CTextPos endPosition() const;
    CTextPos lineEnd(std::uint64_t nLine) const;
    CTextPos nextCharPos(CTextPos pos) const;
    CTextPos prevCharPos(CTextPos pos) const;
    std::uint64_t offsetOf(CTextPos pos) const;
    void selectWordAt(CTextPos pos);
    void moveCaret(CTextPos pos, bool bExtend, bool bKeepColumn = false);
    void ensureCaretVisible();
    // The caret at the end while following: brought into view from column 0 when it fits.
    void followCaret();
    void updateScrollBars();
    int visibleColumnCount() const;
    void noteLineWidth(std::uint64_t nColumns);

    CLogDocument& m_doc;
    QTimer m_pollTimer;
    // The poll timer's tick: takes in new text unless the last paint was so costly that
    // painting at the full rate would take the processor from the relay (see kPaintShare).
    void onPollTimer();
    QElapsedTimer m_sinceRefresh;
    qint64 m_nPaintNs = 0;  // what the last paint cost
    std::uint64_t m_nSeenGeneration = UINT64_MAX;
    std::uint64_t m_nSeenResets = 0;
    bool m_bHadText = false;

    bool m_bFollow = true;
    CTextPos m_anchor;
    CTextPos m_caret;
    std::uint64_t m_nDesiredColumn = 0;
    bool m_bDragging = false;

    std::uint64_t m_nTopLine = 0;
    std::uint64_t m_nLeftColumn = 0;
    std::uint64_t m_nWidestColumns = 0;  // the widest line seen so far
    std::uint64_t m_nLineScale = 1;      // lines per vertical scroll bar step
    bool m_bSettingScrollBars = false;
    HighlightFn m_fnHighlight;
    bool m_bTimestamps = false;
    CLogGutter* m_pGutter = nullptr;    // made when first shown
    std::vector<std::int64_t> m_times;  // reused by each paint of the gutter
    bool m_bDirectionColours = true;
    std::unique_ptr<CLogGlyphCache> m_pGlyphs;  // made by the first paint
    QFont m_glyphFont;                          // the font m_pGlyphs was made for
    bool m_bGlyphsPending = false;
    qint64 m_nGlyphBudgetNs = kGlyphBudgetNs;
    // Characters (and their CLogGlyphCache::Variant) to look up between paints.
    static constexpr std::size_t kMaxPendingGlyphs = 4096;
    std::vector<std::pair<char32_t, int>> m_pendingGlyphs;
    QSet<std::uint64_t> m_pendingKeys;  // the same, as character << 2 | variant
    QTimer m_glyphTimer;                // single shot, at once: runs lookUpPendingGlyphs
};
