// The pattern half of CLogSearch: the text is cut into lines (and long lines into
// segments), each converted to UTF-16 for the engine.
#include <algorithm>
#include <cstring>

#include "logdoc/LogDocument.h"
#include "logdoc/LogSearch.h"
#include "regexp/RegExecutor.h"
#include "regexp/RegProgram.h"

namespace {

bool IsBreak(char c) {
    return c == '\n' || c == '\r';
}

// The first CR or LF in [p, p + n), or n.
std::size_t FirstBreak(const char* p, std::size_t n) {
    const void* pLf = std::memchr(p, '\n', n);
    const std::size_t nLf =
        pLf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(pLf) - p) : n;
    const void* pCr = std::memchr(p, '\r', nLf);
    return pCr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(pCr) - p) : nLf;
}

// One past the last CR or LF in [p, p + n), or 0 when there is none.
std::size_t AfterLastBreak(const char* p, std::size_t n) {
    const auto* pLf = static_cast<const char*>(::memrchr(p, '\n', n));
    const auto* pCr = static_cast<const char*>(::memrchr(p, '\r', n));
    const std::size_t nLf = pLf != nullptr ? static_cast<std::size_t>(pLf - p) + 1 : 0;
    const std::size_t nCr = pCr != nullptr ? static_cast<std::size_t>(pCr - p) + 1 : 0;
    return std::max(nLf, nCr);
}

constexpr std::size_t kBackStep = 64 << 10;

}  // namespace

void CLogSearch::ToUtf16(std::string_view text, std::u16string& out,
                         std::vector<std::uint32_t>* pOffsets) {
    out.clear();
    out.reserve(text.size());
    if (pOffsets != nullptr) {
        pOffsets->clear();
        pOffsets->reserve(text.size() + 1);
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        char32_t cp = 0xFFFD;
        std::size_t nLength = 1;
        if (c < 0x80) {
            cp = c;
        } else {
            const std::size_t nNeed = c >= 0xF0 && c < 0xF5   ? 4
                                      : c >= 0xE0             ? 3
                                      : c >= 0xC2 && c < 0xE0 ? 2
                                                              : 0;
            char32_t value = nNeed == 4 ? (c & 0x07u) : nNeed == 3 ? (c & 0x0Fu) : (c & 0x1Fu);
            std::size_t k = 1;
            while (nNeed > 0 && k < nNeed && i + k < n && (p[i + k] & 0xC0) == 0x80) {
                value = (value << 6) | (p[i + k] & 0x3Fu);
                ++k;
            }
            const bool bValid =
                nNeed > 0 && k == nNeed &&
                !(nNeed == 3 && (value < 0x800 || (value >= 0xD800 && value < 0xE000))) &&
                !(nNeed == 4 && (value < 0x10000 || value > 0x10FFFF));
            if (bValid) {
                cp = value;
                nLength = nNeed;
            }
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            if (pOffsets != nullptr) {
                pOffsets->push_back(static_cast<std::uint32_t>(i));
                pOffsets->push_back(static_cast<std::uint32_t>(i));
            }
        } else {
            out.push_back(static_cast<char16_t>(cp));
            if (pOffsets != nullptr) {
                pOffsets->push_back(static_cast<std::uint32_t>(i));
            }
        }
        i += nLength;
    }
    if (pOffsets != nullptr) {
        pOffsets->push_back(static_cast<std::uint32_t>(n));
    }
}

bool CLogSearch::Window(std::uint64_t nOffset, std::size_t n, std::uint64_t nSize, const char*& p) {
    if (nOffset < m_nWindowBase || nOffset + n > m_nWindowBase + m_window.size()) {
        const std::size_t nRead = static_cast<std::size_t>(
            std::min<std::uint64_t>(nSize - nOffset, std::max<std::uint64_t>(n, kChunkBytes)));
        m_window.resize(nRead);
        m_nWindowBase = nOffset;
        if (Reset() || !m_doc.ReadInto(nOffset, m_window.data(), nRead) || Reset()) {
            m_window.clear();
            return false;
        }
    }
    p = m_window.data() + (nOffset - m_nWindowBase);
    return true;
}

bool CLogSearch::SegmentStart(std::uint64_t p, std::uint64_t& nStart) {
    constexpr std::uint64_t B = kRegexSegmentBytes;
    const std::uint64_t m = p / B * B;
    const std::uint64_t nLow = m >= B ? m - B : 0;
    // The last break in [nLow, p), looked for backwards: in the window first, which mostly
    // holds it, then in small pieces.
    std::uint64_t nHigh = p;
    if (nHigh > nLow && nHigh > m_nWindowBase && nHigh <= m_nWindowBase + m_window.size()) {
        const std::uint64_t nFrom = std::max(nLow, m_nWindowBase);
        const std::size_t nAfter = AfterLastBreak(m_window.data() + (nFrom - m_nWindowBase),
                                                  static_cast<std::size_t>(nHigh - nFrom));
        if (nAfter > 0) {
            nStart = nFrom + nAfter;
            return true;
        }
        nHigh = nFrom;
    }
    while (nHigh > nLow) {
        const std::uint64_t nFrom = nHigh - std::min<std::uint64_t>(nHigh - nLow, kBackStep);
        if (!Read(nFrom, static_cast<std::size_t>(nHigh - nFrom))) {
            return false;
        }
        const std::size_t nAfter = AfterLastBreak(m_buffer.data(), m_buffer.size());
        if (nAfter > 0) {
            nStart = nFrom + nAfter;  // a line starts there
            return true;
        }
        nHigh = nFrom;
    }
    // No break for a whole segment before m: the line is cut at m (or starts at 0).
    nStart = m;
    return true;
}

bool CLogSearch::ReadSegment(std::uint64_t nStart, std::uint64_t nSize, CSegment& seg) {
    constexpr std::uint64_t B = kRegexSegmentBytes;
    seg = {};
    seg.nStart = nStart;
    seg.nSize = nSize;
    const std::uint64_t nCut = nStart % B == 0 ? nStart + B : (nStart / B + 2) * B;
    const std::uint64_t nLimit = std::min(nSize, nCut);
    const std::uint64_t nWindowFrom = nStart >= 4 ? nStart - 4 : 0;
    const std::uint64_t nWindowTo = std::min(nSize, nCut + kRegexOverlapBytes);
    const char* p = nullptr;
    if (!Window(nWindowFrom, static_cast<std::size_t>(nWindowTo - nWindowFrom), nSize, p)) {
        return false;
    }
    const char* pStart = p + (nStart - nWindowFrom);
    seg.bCut = nStart > 0 && nStart % B == 0 && !IsBreak(pStart[-1]);
    seg.nSubjectFrom = nStart;
    if (seg.bCut) {
        // One character before, so that the engine sees no line start here and \< sees
        // what precedes.
        std::uint64_t q = nStart - 1;
        while (q > nWindowFrom && q + 3 > nStart &&
               (static_cast<unsigned char>(p[q - nWindowFrom]) & 0xC0) == 0x80) {
            --q;
        }
        seg.nSubjectFrom = q;
    }
    const std::size_t nBreak = FirstBreak(pStart, static_cast<std::size_t>(nLimit - nStart));
    if (nStart + nBreak < nLimit) {
        const std::uint64_t e = nStart + nBreak;
        seg.nEnd = seg.nSubjectTo = e;
        const bool bCrLf = pStart[nBreak] == '\r' && e + 1 < nSize && pStart[nBreak + 1] == '\n';
        seg.nNext = e + (bCrLf ? 2 : 1);
    } else if (nLimit == nSize) {
        seg.nEnd = seg.nSubjectTo = nSize;
        seg.nNext = UINT64_MAX;
    } else {
        // Cut: the pattern sees on up to the line's end or the overlap.
        seg.nEnd = seg.nNext = nCut;
        const std::size_t nOver = static_cast<std::size_t>(nWindowTo - nCut);
        const std::size_t nEndBreak = FirstBreak(p + (nCut - nWindowFrom), nOver);
        seg.nSubjectTo = nCut + nEndBreak;
        seg.bOpenEnd = nEndBreak == nOver && seg.nSubjectTo < nSize;
    }
    return true;
}

bool CLogSearch::MatchInSegment(const CSegment& seg, std::uint64_t nMin, CFindMatch& match) {
    if (nMin >= seg.nEnd) {
        return false;
    }
    const char* p = nullptr;
    const std::size_t nBytes = static_cast<std::size_t>(seg.nSubjectTo - seg.nSubjectFrom);
    if (!Window(seg.nSubjectFrom, nBytes, seg.nSize, p)) {
        return false;
    }
    if (!m_mustHave.empty() &&
        ::memmem(p, nBytes, m_mustHave.data(), m_mustHave.size()) == nullptr) {
        return false;  // the literal every match holds is not there
    }
    const std::size_t nSkip =
        static_cast<std::size_t>(std::max(nMin, seg.nStart) - seg.nSubjectFrom);
    if (!m_linePrefix.empty() && (seg.bCut || nSkip > 0 || nBytes < m_linePrefix.size() ||
                                  std::memcmp(p, m_linePrefix.data(), m_linePrefix.size()) != 0)) {
        return false;  // every match starts the line with this literal
    }
    const char16_t chFirst = m_pProgram->GetFirstChar();
    if (chFirst != 0 && chFirst < 0x80 &&
        std::memchr(p + nSkip, chFirst,
                    static_cast<std::size_t>(seg.nEnd - seg.nSubjectFrom) - nSkip) == nullptr) {
        return false;  // every match begins with this character
    }
    if (seg.nSubjectFrom != m_nSubjectFrom || seg.nSubjectTo != m_nSubjectTo) {
        // Counting asks for one match after the other in the same line: convert it once.
        ToUtf16(std::string_view(p, nBytes), m_subject, &m_unitOffsets);
        m_nSubjectFrom = seg.nSubjectFrom;
        m_nSubjectTo = seg.nSubjectTo;
    }
    const std::size_t nUnits = m_subject.size();
    const std::uint64_t nMinByte = nMin - seg.nSubjectFrom;
    std::size_t u = static_cast<std::size_t>(
        std::lower_bound(m_unitOffsets.begin(), m_unitOffsets.end(), nMinByte) -
        m_unitOffsets.begin());
    if (seg.bCut) {
        u = std::max<std::size_t>(u, 1);
    }
    const bool bAnchored = m_pProgram->IsAnchored();
    CRegExecutor executor(*m_pProgram, m_subject.data(), nUnits);
    for (; u < nUnits; ++u) {
        if (seg.nSubjectFrom + m_unitOffsets[u] >= seg.nEnd || (bAnchored && u > 0)) {
            return false;
        }
        if (chFirst != 0 && m_subject[u] != chFirst) {
            const std::size_t nNext = m_subject.find(chFirst, u);
            if (nNext == std::u16string::npos) {
                return false;
            }
            u = nNext;
            if (seg.nSubjectFrom + m_unitOffsets[u] >= seg.nEnd) {
                return false;
            }
        }
        if (executor.TryAt(u)) {
            const auto nS = static_cast<std::size_t>(m_pProgram->GetGroupStart(0));
            const auto nE = static_cast<std::size_t>(m_pProgram->GetGroupEnd(0));
            if (nE > nS && !(seg.bOpenEnd && nE == nUnits)) {
                match = {seg.nSubjectFrom + m_unitOffsets[nS],
                         seg.nSubjectFrom + m_unitOffsets[nE]};
                return true;
            }
        }
        if (executor.Aborted()) {
            m_bAborted = true;
            return false;
        }
    }
    return false;
}

EFindResult CLogSearch::RegexNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                  CFindMatch& match, std::uint64_t& nResume) {
    const std::uint64_t nSize = m_doc.GetSize();
    nTo = std::min(nTo, nSize);
    if (nFrom >= nTo) {
        return EFindResult::NotFound;
    }
    std::uint64_t nStart = 0;
    if (!SegmentStart(nFrom, nStart)) {
        return EFindResult::Changed;
    }
    std::uint64_t nSpent = 0;
    while (nStart < nTo) {
        if (nSpent >= nBudget && nSpent > 0) {
            nResume = nStart;
            return EFindResult::More;
        }
        CSegment seg;
        if (!ReadSegment(nStart, nSize, seg)) {
            return EFindResult::Changed;
        }
        if (MatchInSegment(seg, std::max(nFrom, nStart), match) && match.nStart < nTo) {
            return EFindResult::Found;
        }
        if (Reset()) {
            return EFindResult::Changed;
        }
        nSpent += seg.nEnd - seg.nStart + 1;
        nStart = seg.nNext;
    }
    return EFindResult::NotFound;
}

EFindResult CLogSearch::RegexPrevious(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                      CFindMatch& match, std::uint64_t& nResume) {
    const std::uint64_t nSize = m_doc.GetSize();
    std::uint64_t nHigh = std::min(nTo, nSize);
    std::uint64_t nSpent = 0;
    while (nHigh > nFrom) {
        if (nSpent >= nBudget && nSpent > 0) {
            nResume = nHigh;
            return EFindResult::More;
        }
        std::uint64_t nStart = 0;
        CSegment seg;
        if (!SegmentStart(nHigh - 1, nStart) || !ReadSegment(nStart, nSize, seg)) {
            return EFindResult::Changed;
        }
        bool bFound = false;
        CFindMatch found;
        for (std::uint64_t nPos = std::max(nStart, nFrom);
             MatchInSegment(seg, nPos, found) && found.nStart < nHigh; nPos = found.nEnd) {
            match = found;
            bFound = true;
        }
        if (bFound) {
            return EFindResult::Found;
        }
        if (Reset()) {
            return EFindResult::Changed;
        }
        nSpent += nHigh - nStart + 1;
        nHigh = nStart;
    }
    return EFindResult::NotFound;
}
