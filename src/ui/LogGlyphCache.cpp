#include "ui/LogGlyphCache.h"

#include <QGlyphRun>
#include <QTextLayout>
#include <algorithm>

void CLogGlyphCache::setFont(const QFont& font, double dCellWidth) {
    m_dCellWidth = std::max(1.0, dCellWidth);
    m_glyphs.clear();
    m_fonts.clear();
    m_fontVariants.clear();
    m_fontSearched.clear();
    for (int i = 0; i < VariantCount; ++i) {
        QFont variant = font;
        variant.setBold((i & Bold) != 0);
        variant.setItalic((i & Italic) != 0);
        m_variants[static_cast<std::size_t>(i)] = variant;
        fontIndex(QRawFont::fromFont(variant), static_cast<Variant>(i));
    }
}

const CLogGlyphCache::CGlyphs* CLogGlyphCache::find(char32_t cp, Variant variant) const {
    const auto it = m_glyphs.constFind(Key(cp, variant));
    return it == m_glyphs.cend() ? nullptr : &it.value();
}

std::uint16_t CLogGlyphCache::fontIndex(const QRawFont& font, Variant variant) {
    for (std::size_t i = 0; i < m_fonts.size(); ++i) {
        if (m_fontVariants[i] == variant && m_fonts[i] == font) {
            return static_cast<std::uint16_t>(i);
        }
    }
    m_fonts.push_back(font);
    m_fontVariants.push_back(variant);
    m_fontSearched.push_back(font.isValid() && !font.fontTable("cmap").isEmpty());
    return static_cast<std::uint16_t>(m_fonts.size() - 1);
}

void CLogGlyphCache::fitToCell(CGlyphs& glyphs) const {
    glyphs.fScale = 1.0f;
    if (glyphs.nCount == 0) {
        return;
    }
    const QRawFont& font = m_fonts[glyphs.nFont];
    const QList<quint32> indexes(glyphs.glyphs.begin(), glyphs.glyphs.begin() + glyphs.nCount);
    const QList<QPointF> advances = font.advancesForGlyphIndexes(indexes);
    // What the glyphs cover from the cell's left edge: their advances and their ink, which
    // may reach past either end.
    double dLeft = 0;
    double dRight = 0;
    for (qsizetype i = 0; i < indexes.size(); ++i) {
        const double dOffset = glyphs.offsets[static_cast<std::size_t>(i)];
        const QRectF ink = font.boundingRect(indexes[i]);
        dLeft = std::min(dLeft, dOffset + ink.left());
        dRight = std::max({dRight, dOffset + ink.right(),
                           dOffset + (i < advances.size() ? advances[i].x() : 0.0)});
    }
    // A glyph a little wider than the cell (a fallback font's letter) stays as it is:
    // narrowing it would blur it for a pixel or two of overlap.
    if (dRight - dLeft <= m_dCellWidth * 1.25) {
        return;
    }
    // Narrowed into the cell with half a pixel to spare on each side, so that its smoothed
    // edges stay in the cell too.
    const double dScale = std::max(0.05, (m_dCellWidth - 1.0) / (dRight - dLeft));
    glyphs.fScale = static_cast<float>(dScale);
    for (std::size_t k = 0; k < glyphs.nCount; ++k) {
        glyphs.offsets[k] = static_cast<float>(glyphs.offsets[k] - dLeft + 0.5 / dScale);
    }
}

const CLogGlyphCache::CGlyphs& CLogGlyphCache::keep(char32_t cp, Variant variant,
                                                    const CGlyphs& glyphs) {
    if (m_glyphs.size() >= kMaxEntries) {
        m_glyphs.clear();  // the fonts stay: they are few, and the glyphs refer to them
    }
    return m_glyphs.insert(Key(cp, variant), glyphs).value();
}

const CLogGlyphCache::CGlyphs* CLogGlyphCache::findInLoadedFonts(char32_t cp, Variant variant) {
    if (const CGlyphs* pKnown = find(cp, variant)) {
        return pKnown;
    }
    // The variant's own font first (it comes first in the list), then the others in the
    // order they were met.
    for (std::size_t i = 0; i < m_fonts.size(); ++i) {
        const QRawFont& font = m_fonts[i];
        if (m_fontVariants[i] != variant || !m_fontSearched[i] || !font.supportsCharacter(cp)) {
            continue;
        }
        const QList<quint32> indexes = font.glyphIndexesForString(QString::fromUcs4(&cp, 1));
        if (indexes.isEmpty() || indexes.front() == 0) {
            continue;
        }
        CGlyphs glyphs;
        glyphs.nFont = static_cast<std::uint16_t>(i);
        glyphs.nCount = 1;
        glyphs.glyphs[0] = indexes.front();
        fitToCell(glyphs);
        return &keep(cp, variant, glyphs);
    }
    return nullptr;
}

CLogGlyphCache::CGlyphs CLogGlyphCache::resolve(char32_t cp, Variant variant) {
    if (const CGlyphs* pFound = findInLoadedFonts(cp, variant)) {
        return *pFound;
    }
    CGlyphs glyphs;
    if (m_fonts.size() < UINT16_MAX) {
        // Laid out alone: Qt's fallback finds the font that has it, and shaping gives its
        // glyphs as the script draws a lone character.
        QTextLayout layout(QString::fromUcs4(&cp, 1), m_variants[variant]);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        if (!runs.isEmpty() && runs.front().rawFont().isValid()) {
            const QGlyphRun& run = runs.front();
            const QList<quint32> indexes = run.glyphIndexes();
            const QList<QPointF> positions = run.positions();
            glyphs.nFont = fontIndex(run.rawFont(), variant);
            const qsizetype nCount =
                std::min<qsizetype>(std::min(indexes.size(), positions.size()),
                                    static_cast<qsizetype>(glyphs.glyphs.size()));
            for (qsizetype i = 0; i < nCount; ++i) {
                glyphs.glyphs[static_cast<std::size_t>(i)] = indexes[i];
                glyphs.offsets[static_cast<std::size_t>(i)] =
                    static_cast<float>(positions[i].x() - positions.front().x());
            }
            glyphs.nCount = static_cast<std::uint8_t>(nCount);
            fitToCell(glyphs);
        }
    }
    return keep(cp, variant, glyphs);
}
