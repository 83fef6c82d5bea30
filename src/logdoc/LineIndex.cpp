#include "logdoc/LineIndex.h"

#include <algorithm>
#include <cstring>

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

void CLineIndex::Append(std::uint64_t nBase, std::string_view text) {
    const char* const pBegin = text.data();
    const char* const pEnd = pBegin + text.size();
    // memchr is far faster than a byte loop; CR is rare in traffic, so the next CR is looked
    // up once and kept until the scan passes it.
    const char* pCr = nullptr;
    const char* p = pBegin;
    while (p < pEnd) {
        if (pCr == nullptr || pCr < p) {
            pCr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(pEnd - p)));
            if (pCr == nullptr) {
                pCr = pEnd;
            }
        }
        const char* pLf = static_cast<const char*>(
            std::memchr(p, '\n', static_cast<size_t>(std::min(pCr, pEnd) - p)));
        const char* pBreak = pLf != nullptr ? pLf : pCr;
        if (pBreak >= pEnd) {
            break;
        }
        const std::uint64_t nAt = nBase + static_cast<std::uint64_t>(pBreak - pBegin);
        AddCheckpointsUpTo(nAt);
        if (*pBreak == '\n' && m_nCrAt != UINT64_MAX && m_nCrAt + 1 == nAt) {
            // The LF of a CR LF: the line begun after the CR starts after the LF instead.
            m_nLastStart = nAt + 1;
            if ((m_nLines - 1) % kLinesPerBlock == 0) {
                m_blockStarts.back() = nAt + 1;
            }
        } else {
            StartLine(nAt + 1);
            if (*pBreak == '\r') {
                m_nCrAt = nAt;
            }
        }
        p = pBreak + 1;
    }
    const std::uint64_t nEnd = nBase + text.size();
    if (nEnd > 0) {
        AddCheckpointsUpTo(nEnd - 1);
    }
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
    return m_blockStarts.capacity() * sizeof(std::uint64_t) +
           m_checkpoints.capacity() * sizeof(CCheckpoint);
}
