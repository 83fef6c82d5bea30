#include "logdoc/BoldRuns.h"

#include <algorithm>

void CBoldRuns::SetBoldFrom(std::uint64_t nOffset, bool bBold) {
    if (bBold == IsBoldAtEnd()) {
        return;
    }
    if (m_nCount > 0 && m_chunks.back().nLast == nOffset) {
        RemoveLast();  // an empty run: the change before it is undone
        return;
    }
    if (m_nCount % kPerChunk == 0) {
        m_chunks.push_back({nOffset, nOffset, {}});
    } else {
        CChunk& chunk = m_chunks.back();
        std::uint64_t nDelta = nOffset - chunk.nLast;
        do {
            std::uint8_t b = nDelta & 0x7F;
            nDelta >>= 7;
            chunk.data.push_back(nDelta != 0 ? static_cast<std::uint8_t>(b | 0x80) : b);
        } while (nDelta != 0);
        chunk.nLast = nOffset;
    }
    ++m_nCount;
}

void CBoldRuns::RemoveLast() {
    CChunk& chunk = m_chunks.back();
    if (m_nCount % kPerChunk == 1) {
        m_chunks.pop_back();
    } else {
        std::vector<std::uint64_t> offsets;
        Decode(chunk, offsets);
        chunk.data.pop_back();  // the last byte of the last delta never has the high bit
        while (!chunk.data.empty() && (chunk.data.back() & 0x80) != 0) {
            chunk.data.pop_back();
        }
        chunk.nLast = offsets[offsets.size() - 2];
    }
    --m_nCount;
}

void CBoldRuns::Decode(const CChunk& chunk, std::vector<std::uint64_t>& out) {
    out.clear();
    std::uint64_t nOffset = chunk.nFirst;
    out.push_back(nOffset);
    std::uint64_t nDelta = 0;
    int nShift = 0;
    for (const std::uint8_t b : chunk.data) {
        nDelta |= static_cast<std::uint64_t>(b & 0x7F) << nShift;
        nShift += 7;
        if ((b & 0x80) == 0) {
            nOffset += nDelta;
            out.push_back(nOffset);
            nDelta = 0;
            nShift = 0;
        }
    }
}

std::vector<CBoldRun> CBoldRuns::GetRuns(std::uint64_t nFrom, std::uint64_t nTo) const {
    std::vector<CBoldRun> runs;
    if (nFrom >= nTo || m_chunks.empty()) {
        return runs;
    }
    // The first chunk that may matter is the last one starting at or before nFrom.
    auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), nFrom,
                               [](std::uint64_t n, const CChunk& c) { return n < c.nFirst; });
    std::size_t iChunk =
        it == m_chunks.begin() ? 0 : static_cast<std::size_t>(it - m_chunks.begin()) - 1;
    std::vector<std::uint64_t> offsets;
    std::uint64_t nRunStart = 0;
    bool bOpen = false;
    for (; iChunk < m_chunks.size() && m_chunks[iChunk].nFirst < nTo; ++iChunk) {
        Decode(m_chunks[iChunk], offsets);
        for (std::size_t k = 0; k < offsets.size(); ++k) {
            const std::uint64_t nIndex = iChunk * kPerChunk + k;
            const std::uint64_t nAt = offsets[k];
            if (nIndex % 2 == 0) {
                nRunStart = nAt;
                bOpen = true;
            } else {
                bOpen = false;
                if (nAt > nFrom && nRunStart < nTo) {
                    runs.push_back({std::max(nRunStart, nFrom), std::min(nAt, nTo)});
                }
            }
            if (nAt >= nTo) {
                break;
            }
        }
    }
    if (bOpen && nRunStart < nTo) {
        runs.push_back({std::max(nRunStart, nFrom), nTo});
    }
    return runs;
}

void CBoldRuns::Clear() {
    m_chunks.clear();
    m_chunks.shrink_to_fit();
    m_nCount = 0;
}

std::uint64_t CBoldRuns::GetMemoryUse() const {
    std::uint64_t n = m_chunks.capacity() * sizeof(CChunk);
    for (const CChunk& c : m_chunks) {
        n += c.data.capacity();
    }
    return n;
}
