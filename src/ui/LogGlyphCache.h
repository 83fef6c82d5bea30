// The glyphs of the log view's characters, found once per character and font variant and
// kept, so that a paint draws every character in its own column with positioned glyph runs
// instead of laying out text: no shaping, no right-to-left reordering, no search for the
// fallback font of a script on every paint. A character the view's font lacks is looked up
// through Qt's font fallback the first time it is met (a new script can take tens of
// milliseconds); the view spends a bounded time per paint on such look-ups and paints the
// rest later (see CLogView::paintEvent).
//
// GUI thread only (fonts and raw fonts belong to the thread that made them).
#pragma once

#include <QFont>
#include <QHash>
#include <QRawFont>
#include <array>
#include <cstdint>
#include <vector>

class CLogGlyphCache {
public:
    // The font variants the view paints with.
    enum Variant { Plain = 0, Bold = 1, Italic = 2, BoldItalic = 3, VariantCount = 4 };

    // A character's glyphs (most have one; a few scripts' marks come with a second, such
    // as a dotted circle) in the font kept at nFont, with their offsets from the cell's
    // left edge. nCount 0: nothing to draw (a character no installed font has shows the
    // fallback's empty box, which is a glyph). A glyph wider than a cell (an ideograph, a
    // long arrow) is drawn narrowed by fScale to its own cell, so that it covers neither
    // the next character nor the columns that clicks and the selection go by.
    struct CGlyphs {
        std::uint16_t nFont = 0;
        std::uint8_t nCount = 0;
        std::array<std::uint32_t, 2> glyphs{};
        std::array<float, 2> offsets{};
        float fScale = 1.0f;
    };

    // The characters a cache holds at most; then it starts anew (random binary data meets
    // characters of every script, and each entry costs some 24 bytes).
    static constexpr qsizetype kMaxEntries = 200000;

    // Forgets everything and takes `font` as the plain variant, whose characters are drawn
    // in cells `dCellWidth` wide.
    void setFont(const QFont& font, double dCellWidth);

    // The glyphs of `cp` in `variant` when known already; null otherwise. Quick.
    const CGlyphs* find(char32_t cp, Variant variant) const;
    // Looks for them in the fonts in use already (a look-up in each one's character map, a
    // few microseconds) and keeps them; null when none of those has the character.
    const CGlyphs* findInLoadedFonts(char32_t cp, Variant variant);
    // Finds them now through Qt's font fallback, which loads the font that has the
    // character (tens of milliseconds the first time a script is met), and keeps them.
    CGlyphs resolve(char32_t cp, Variant variant);

    const QRawFont& rawFont(std::uint16_t nFont) const { return m_fonts[nFont]; }
    qsizetype size() const { return m_glyphs.size(); }

private:
    static std::uint64_t Key(char32_t cp, Variant variant) {
        return (std::uint64_t{cp} << 2) | static_cast<std::uint64_t>(variant);
    }
    std::uint16_t fontIndex(const QRawFont& font, Variant variant);
    // Sets fScale from the glyphs' extent: what reaches more than a little past the cell
    // is narrowed to fit it.
    void fitToCell(CGlyphs& glyphs) const;
    // Keeps the glyphs, starting anew when the cache is full.
    const CGlyphs& keep(char32_t cp, Variant variant, const CGlyphs& glyphs);

    std::array<QFont, VariantCount> m_variants;
    double m_dCellWidth = 1.0;
    // The raw fonts met so far, each with the variant it was found for; each variant's own
    // (primary) font first.
    std::vector<QRawFont> m_fonts;
    std::vector<Variant> m_fontVariants;
    // Whether a font is searched for other characters: not the stand-in Qt draws boxes
    // with when no installed font has a character, which claims every character.
    std::vector<bool> m_fontSearched;
    QHash<std::uint64_t, CGlyphs> m_glyphs;
};
