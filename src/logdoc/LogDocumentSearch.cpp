// Reading the log's text for a search of ASCII text without making the blocks' text.
#include <algorithm>
#include <cstring>

#include "logdoc/LogDocument.h"
#include "platform/TextConv.h"

std::uint64_t CSearchableText::TextOffset(std::size_t nAt) {
    const auto end = [this](std::size_t nPiece) {
        return nPiece + 1 < m_pieces.size() ? m_pieces[nPiece + 1].nAt : m_bytes.size();
    };
    if (m_nCursorPiece >= m_pieces.size() || nAt < m_nCursorAt || nAt >= end(m_nCursorPiece)) {
        const auto it =
            std::upper_bound(m_pieces.begin(), m_pieces.end(), nAt,
                             [](std::size_t n, const CPiece& piece) { return n < piece.nAt; });
        m_nCursorPiece = static_cast<std::size_t>(it - m_pieces.begin()) - 1;
        m_nCursorAt = m_pieces[m_nCursorPiece].nAt;
        m_nCursorText = m_pieces[m_nCursorPiece].nText;
    }
    // A block's bytes from the cursor on: the cursor is at the piece's start or at an
    // ASCII byte, where no sequence spans, so their text's length is exact.
    const std::string_view between(m_bytes.data() + m_nCursorAt, nAt - m_nCursorAt);
    m_nCursorText +=
        m_pieces[m_nCursorPiece].bBlock ? win::AnsiToUtf8Length(between, true) : between.size();
    m_nCursorAt = nAt;
    return m_nCursorText;
}

bool CLogDocument::ReadSearchable(std::uint64_t nFrom, std::uint64_t nTo,
                                  CSearchableText& out) const {
    out.m_bytes.clear();
    out.m_pieces.clear();
    out.m_nCursorPiece = SIZE_MAX;
    std::vector<CLogSegment>& segments = out.m_segments;
    segments.clear();
    std::shared_lock reset(m_resetMutex);
    {
        std::lock_guard state(m_stateMutex);
        if (nFrom > nTo || nTo > m_nSize) {
            return false;
        }
        for (std::size_t i = m_segments.IndexOf(nFrom);
             i < m_segments.Count() && m_segments.At(i).nTextStart < nTo; ++i) {
            segments.push_back(m_segments.At(i));
        }
    }
    // As a long read does: the blocks' bytes with one read of the raw spool, and the text
    // between them with one of the literal text's, unless other bytes lie between.
    std::uint64_t nRawFrom = UINT64_MAX;
    std::uint64_t nRawTo = 0;
    std::uint64_t nLiteralFrom = UINT64_MAX;
    std::uint64_t nLiteralTo = 0;
    std::uint64_t nRawBytes = 0;
    for (const CLogSegment& segment : segments) {
        if (segment.IsBlock()) {
            nRawFrom = std::min(nRawFrom, segment.nSource);
            nRawTo = std::max(nRawTo, segment.nSource + segment.nRawLength);
            nRawBytes += segment.nRawLength;
        } else {
            const std::uint64_t nStart =
                segment.nSource + (std::max(nFrom, segment.nTextStart) - segment.nTextStart);
            nLiteralFrom = std::min(nLiteralFrom, nStart);
            nLiteralTo = std::max(nLiteralTo, segment.nSource + (std::min(nTo, segment.TextEnd()) -
                                                                 segment.nTextStart));
        }
    }
    const bool bOneRawRead =
        nRawFrom != UINT64_MAX && nRawTo - nRawFrom <= 2 * nRawBytes + kPieceBytes;
    if (bOneRawRead) {
        out.m_raw.resize(static_cast<std::size_t>(nRawTo - nRawFrom));
        if (!m_pRecords->ReadRawAt(nRawFrom, out.m_raw.data(), out.m_raw.size())) {
            return false;
        }
    }
    if (nLiteralFrom != UINT64_MAX) {
        out.m_literal.resize(static_cast<std::size_t>(nLiteralTo - nLiteralFrom));
        if (!ReadLiteral(nLiteralFrom, out.m_literal.data(), out.m_literal.size())) {
            return false;
        }
    }
    for (const CLogSegment& segment : segments) {
        const std::size_t nAt = out.m_bytes.size();
        if (segment.IsBlock()) {
            out.m_pieces.push_back({nAt, segment.nTextStart, true});
            if (bOneRawRead) {
                out.m_bytes.append(out.m_raw.data() + (segment.nSource - nRawFrom),
                                   segment.nRawLength);
                continue;
            }
            out.m_bytes.resize(nAt + segment.nRawLength);
            if (!m_pRecords->ReadRawAt(segment.nSource, out.m_bytes.data() + nAt,
                                       segment.nRawLength)) {
                return false;
            }
            continue;
        }
        const std::uint64_t nStart = std::max(nFrom, segment.nTextStart);
        const std::uint64_t nEnd = std::min(nTo, segment.TextEnd());
        if (nEnd <= nStart) {
            continue;
        }
        out.m_pieces.push_back({nAt, nStart, false});
        out.m_bytes.append(
            out.m_literal.data() + (segment.nSource + (nStart - segment.nTextStart) - nLiteralFrom),
            static_cast<std::size_t>(nEnd - nStart));
    }
    return true;
}
