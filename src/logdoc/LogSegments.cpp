#include "logdoc/LogSegments.h"

#include <algorithm>

void CLogSegments::AddLiteral(std::uint64_t nTextStart, std::uint64_t nLiteral,
                              std::uint64_t nLength) {
    while (nLength > 0) {
        if (!m_segments.empty()) {
            CLogSegment& last = m_segments.back();
            if (!last.IsBlock() && last.TextEnd() == nTextStart &&
                last.nSource + last.nTextLength == nLiteral && last.nTextLength < UINT32_MAX) {
                const auto n = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(nLength, UINT32_MAX - last.nTextLength));
                last.nTextLength += n;
                nTextStart += n;
                nLiteral += n;
                nLength -= n;
                continue;
            }
        }
        m_segments.push_back({nTextStart, nLiteral, 0, 0});
    }
}

void CLogSegments::AddBlock(std::uint64_t nTextStart, std::uint64_t nRaw, std::uint32_t nRawLength,
                            std::uint32_t nTextLength) {
    m_segments.push_back({nTextStart, nRaw, nTextLength, nRawLength});
}

std::size_t CLogSegments::IndexOf(std::uint64_t nOffset) const {
    const auto it = std::upper_bound(
        m_segments.begin(), m_segments.end(), nOffset,
        [](std::uint64_t n, const CLogSegment& segment) { return n < segment.nTextStart; });
    if (it == m_segments.begin()) {
        return m_segments.size();
    }
    const auto nIndex = static_cast<std::size_t>(it - m_segments.begin()) - 1;
    return nOffset < m_segments[nIndex].TextEnd() ? nIndex : m_segments.size();
}

void CLogSegments::Clear() {
    m_segments.clear();
    m_segments.shrink_to_fit();
}

std::uint64_t CLogSegments::GetMemoryUse() const {
    return m_segments.size() * sizeof(CLogSegment) + 4096;
}
