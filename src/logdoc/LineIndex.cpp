#include "logdoc/LineIndex.h"

#include <algorithm>

#include "logdoc/BreakScanner.h"
#include "platform/TextConv.h"

void CLineIndex::StartLine(std::uint64_t nStart) {
    if (m_nLines % kLinesPerBlock == 0) {
        m_blockStarts.push_back(nStart);
    }
    ++m_nLines;
    m_nLastStart = nStart;
}

void CLineIndex::AddCheckpointsUpTo(std::uint64_t nOffset) {
    while (m_nNextCheckpoint <= nOffset) {
        m_checkpoints.push_back({m_nNextCheckpoint, m_nLines - 1});
        m_nNextCheckpoint += kCheckpointBytes;
    }
}

void CLineIndex::AddBreak(std::uint64_t nAt, bool bCr) {
    if (nAt >= m_nNextCheckpoint) {
        AddCheckpointsUpTo(nAt);
    }
    if (!bCr && m_nCrAt != UINT64_MAX && m_nCrAt + 1 == nAt) {
        // The LF of a CR LF: the line begun after the CR starts after the LF instead.
        m_nLastStart = nAt + 1;
        if ((m_nLines - 1) % kLinesPerBlock == 0) {
            m_blockStarts.back() = nAt + 1;
        }
    } else {
        StartLine(nAt + 1);
        if (bCr) {
            m_nCrAt = nAt;
        }
    }
}

void CLineIndex::Append(std::uint64_t nBase, std::string_view text) {
    breaks::ForEachBreak(text, [&](std::size_t k) { AddBreak(nBase + k, text[k] == '\r'); });
    const std::uint64_t nEnd = nBase + text.size();
    if (nEnd > 0) {
        AddCheckpointsUpTo(nEnd - 1);
    }
}

void CLineIndex::CountBlock(std::string_view bytes, CBlockBreaks& out) {
    out.breaks.clear();
    auto onBreak = [&](std::size_t nRaw, std::size_t nText) {
        out.breaks.push_back(2 * std::uint64_t{nText} + (bytes[nRaw] == '\r' ? 1 : 0));
    };
    out.nTextLength = win::MeasureAnsiAsUtf8(bytes, true, onBreak);
}

std::uint64_t CLineIndex::Splice(std::uint64_t nBase, const CBlockBreaks& counted) {
    for (const std::uint64_t nBreak : counted.breaks) {
        AddBreak(nBase + nBreak / 2, (nBreak & 1) != 0);
    }
    if (nBase + counted.nTextLength > 0) {
        AddCheckpointsUpTo(nBase + counted.nTextLength - 1);
    }
    return counted.nTextLength;
}

void CLineIndex::Clear() {
    m_blockStarts.assign(1, 0);
    m_blockStarts.shrink_to_fit();
    m_checkpoints.clear();
    m_checkpoints.shrink_to_fit();
    m_nLines = 1;
    m_nLastStart = 0;
    m_nNextCheckpoint = kCheckpointBytes;
    m_nCrAt = UINT64_MAX;
}

std::uint64_t CLineIndex::SkipWithinLine(std::uint64_t nLine, std::uint64_t nFrom) const {
    // Checkpoints are ordered by offset and so by line: the last one of `nLine` is the
    // furthest known byte of it.
    auto it = std::upper_bound(m_checkpoints.begin(), m_checkpoints.end(), nLine,
                               [](std::uint64_t n, const CCheckpoint& c) { return n < c.nLine; });
    if (it == m_checkpoints.begin()) {
        return nFrom;
    }
    --it;
    if (it->nLine != nLine || it->nOffset <= nFrom) {
        return nFrom;
    }
    return it->nOffset;
}

std::uint64_t CLineIndex::GetMemoryUse() const {
    return m_blockStarts.size() * sizeof(std::uint64_t) +
           m_checkpoints.capacity() * sizeof(CCheckpoint);
}
