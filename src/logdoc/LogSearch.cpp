#include "logdoc/LogSearch.h"

#include <algorithm>

#include "logdoc/LogDocument.h"
#include "regexp/RegMatcher.h"
#include "regexp/RegProgram.h"

CLogSearch::CLogSearch(const CLogDocument& doc, CFindOptions options)
    : m_doc(doc), m_options(std::move(options)), m_nResets(doc.GetResetCount()) {
    if (m_options.strText.empty()) {
        return;
    }
    if (!m_options.bRegex) {
        m_pScanner = std::make_unique<CTextScanner>(m_options.strText, m_options.bMatchCase);
        m_bAsciiNeedle = std::all_of(m_options.strText.begin(), m_options.strText.end(),
                                     [](char c) { return c > 0; });
        m_bValid = true;
        return;
    }
    std::u16string strPattern;
    ToUtf16(m_options.strText, strPattern, nullptr);
    if (!m_options.bMatchCase) {
        strPattern = CRegMatcher::FoldCase(strPattern);
    }
    m_pProgram = std::make_unique<CRegProgram>();
    m_pProgram->Compile(strPattern.c_str(), strPattern.size());
    if (!m_pProgram->IsCompiled()) {
        m_strError = m_pProgram->GetErrorText();
        return;
    }
    FindLiterals();
    m_bValid = true;
}

CLogSearch::~CLogSearch() = default;

void CLogSearch::FindLiterals() {
    // A pattern of one alternative: every literal node of its main chain is in every match
    // (repetitions, options and alternatives keep their literals inside their operands).
    using Accessor = CRegProgramAccessor;
    const RegWord* pFirst = m_pProgram->GetWords() + 1;
    const RegWord* pNext = Accessor::GetNext(pFirst);
    if (pNext == nullptr || Accessor::GetOpcode(pNext) != OP_END) {
        return;
    }
    const auto ascii = [](const RegWord* pText) {
        std::string text;
        for (; *pText != 0 && *pText < 0x80; ++pText) {
            text.push_back(static_cast<char>(*pText));
        }
        return *pText == 0 ? text : std::string();
    };
    const RegWord* pScan = Accessor::GetOperand(pFirst);
    if (Accessor::GetOpcode(pScan) == OP_BOL) {
        const RegWord* pAfter = Accessor::GetNext(pScan);
        if (pAfter != nullptr && Accessor::GetOpcode(pAfter) == OP_EXACTLY) {
            m_linePrefix = ascii(Accessor::GetOperand(pAfter));
        }
    }
    for (; pScan != nullptr; pScan = Accessor::GetNext(pScan)) {
        if (Accessor::GetOpcode(pScan) == OP_EXACTLY) {
            std::string text = ascii(Accessor::GetOperand(pScan));
            if (text.size() > m_mustHave.size()) {
                m_mustHave = std::move(text);
            }
        }
    }
}

bool CLogSearch::Reset() const {
    return m_doc.GetResetCount() != m_nResets;
}

bool CLogSearch::Read(std::uint64_t nOffset, std::size_t n) {
    m_buffer.resize(n);
    m_nBufferBase = nOffset;
    if (Reset() || !m_doc.ReadInto(nOffset, m_buffer.data(), n) || Reset()) {
        m_buffer.clear();
        return false;
    }
    return true;
}

EFindResult CLogSearch::FindNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                 CFindMatch& match, std::uint64_t& nResume) {
    if (Reset()) {
        return EFindResult::Changed;
    }
    if (!m_bValid) {
        return EFindResult::NotFound;
    }
    return m_pProgram ? RegexNext(nFrom, nTo, nBudget, match, nResume)
                      : PlainNext(nFrom, nTo, nBudget, match, nResume);
}

EFindResult CLogSearch::FindPrevious(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                     CFindMatch& match, std::uint64_t& nResume) {
    if (Reset()) {
        return EFindResult::Changed;
    }
    if (!m_bValid) {
        return EFindResult::NotFound;
    }
    return m_pProgram ? RegexPrevious(nFrom, nTo, nBudget, match, nResume)
                      : PlainPrevious(nFrom, nTo, nBudget, match, nResume);
}

EFindResult CLogSearch::AsciiNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                  CFindMatch& match, std::uint64_t& nResume) {
    const std::uint64_t nSize = m_doc.GetSize();
    const std::uint64_t n = m_pScanner->Length();  // in the text and in the bytes alike
    nTo = std::min(nTo, nSize);
    std::uint64_t nSpent = 0;
    for (std::uint64_t nPos = nFrom; nPos < nTo && nPos + n <= nSize;) {
        if (nSpent >= nBudget && nSpent > 0) {
            nResume = nPos;
            return EFindResult::More;
        }
        // The starts [nPos, nLast), read with the needle's length more; the piece read
        // last serves the next matches as far as it goes.
        std::uint64_t nLast;
        std::size_t nScanFrom = 0;
        if (nPos >= m_nSearchableFrom && nPos + n <= m_nSearchableTo) {
            if (Reset()) {
                return EFindResult::Changed;
            }
            nLast = std::min(nTo, m_nSearchableTo - n + 1);
            if (nPos >= m_nResumeText && m_nResumeText != UINT64_MAX) {
                nScanFrom = m_nResumeAt;
            }
        } else {
            nLast = std::min(nTo, nPos + kChunkBytes);
            const std::uint64_t nReadTo = std::min(nSize, nLast + n - 1);
            m_nSearchableFrom = m_nSearchableTo = 0;
            m_nResumeText = UINT64_MAX;
            if (Reset() || !m_doc.ReadSearchable(nPos, nReadTo, m_searchable) || Reset()) {
                return EFindResult::Changed;
            }
            m_nSearchableFrom = nPos;
            m_nSearchableTo = nReadTo;
        }
        const std::string& bytes = m_searchable.Bytes();
        for (std::size_t nAt = m_pScanner->Find(bytes, nScanFrom); nAt != CTextScanner::npos;
             nAt = m_pScanner->Find(bytes, nAt + 1)) {
            // The first block is read whole, from before nPos on.
            const std::uint64_t nText = m_searchable.TextOffset(nAt);
            if (nText >= nLast) {
                break;
            }
            if (nText >= nPos) {
                match = {nText, nText + n};
                m_nResumeText = nText + n;
                m_nResumeAt = nAt + static_cast<std::size_t>(n);
                return EFindResult::Found;
            }
        }
        nSpent += nLast - nPos;
        nPos = nLast;
    }
    return EFindResult::NotFound;
}

EFindResult CLogSearch::PlainNext(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                  CFindMatch& match, std::uint64_t& nResume) {
    if (m_bAsciiNeedle) {
        return AsciiNext(nFrom, nTo, nBudget, match, nResume);
    }
    const std::uint64_t nSize = m_doc.GetSize();
    const std::uint64_t n = m_pScanner->Length();
    nTo = std::min(nTo, nSize);
    std::uint64_t nSpent = 0;
    for (std::uint64_t nPos = nFrom; nPos < nTo && nPos + n <= nSize;) {
        if (nSpent >= nBudget && nSpent > 0) {
            nResume = nPos;
            return EFindResult::More;
        }
        // The starts [nPos, nLast) and the needle's length more, so that a match that
        // reaches into the next piece is found here.
        std::uint64_t nLast = std::min(nTo, nPos + kChunkBytes);
        std::uint64_t nReadTo = std::min(nSize, nLast + n - 1);
        // The piece read last serves the next matches as far as it goes (counting goes match
        // by match).
        const std::uint64_t nCachedTo = m_nBufferBase + m_buffer.size();
        if (nPos >= m_nBufferBase && nPos + n <= nCachedTo) {
            nReadTo = std::min(nReadTo, nCachedTo);
            nLast = std::min(nLast, nReadTo - n + 1);
            if (Reset()) {
                return EFindResult::Changed;
            }
        } else if (!Read(nPos, static_cast<std::size_t>(nReadTo - nPos))) {
            return EFindResult::Changed;
        }
        const std::string_view hay(m_buffer.data() + (nPos - m_nBufferBase),
                                   static_cast<std::size_t>(nReadTo - nPos));
        const std::size_t nAt = m_pScanner->Find(hay, 0);
        if (nAt != CTextScanner::npos && nPos + nAt < nLast) {
            match = {nPos + nAt, nPos + nAt + n};
            return EFindResult::Found;
        }
        nSpent += nLast - nPos;
        nPos = nLast;
    }
    return EFindResult::NotFound;
}

EFindResult CLogSearch::PlainPrevious(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                                      CFindMatch& match, std::uint64_t& nResume) {
    const std::uint64_t nSize = m_doc.GetSize();
    const std::uint64_t n = m_pScanner->Length();
    nTo = std::min(nTo, nSize);
    std::uint64_t nSpent = 0;
    for (std::uint64_t nEnd = nTo; nEnd > nFrom;) {
        if (nSpent >= nBudget && nSpent > 0) {
            nResume = nEnd;
            return EFindResult::More;
        }
        const std::uint64_t nPos = nEnd - std::min<std::uint64_t>(nEnd - nFrom, kChunkBytes);
        const std::size_t nRead = static_cast<std::size_t>(std::min(nSize, nEnd + n - 1) - nPos);
        if (!Read(nPos, nRead)) {
            return EFindResult::Changed;
        }
        // The last start below nEnd: every start of this piece, one after the other.
        std::size_t nLastFound = CTextScanner::npos;
        for (std::size_t nAt = m_pScanner->Find(m_buffer, 0);  // m_buffer starts at nPos
             nAt != CTextScanner::npos && nPos + nAt < nEnd;
             nAt = m_pScanner->Find(m_buffer, nAt + 1)) {
            nLastFound = nAt;
        }
        if (nLastFound != CTextScanner::npos) {
            match = {nPos + nLastFound, nPos + nLastFound + n};
            return EFindResult::Found;
        }
        nSpent += nEnd - nPos;
        nEnd = nPos;
    }
    return EFindResult::NotFound;
}

EFindResult CLogSearch::Count(std::uint64_t nFrom, std::uint64_t nTo, std::uint64_t nBudget,
                              std::uint64_t& nCount, std::uint64_t& nResume) {
    std::uint64_t nSpent = 0;
    std::uint64_t nPos = nFrom;
    for (;;) {
        if (nSpent >= nBudget && nSpent > 0) {
            nResume = nPos;
            return EFindResult::More;
        }
        CFindMatch match;
        std::uint64_t nNext = nPos;
        const EFindResult result = FindNext(nPos, nTo, nBudget - nSpent, match, nNext);
        switch (result) {
            case EFindResult::Found:
                ++nCount;
                nSpent += match.nEnd - nPos;
                nPos = match.nEnd;
                break;
            case EFindResult::More:
                nSpent += nNext - nPos;
                nResume = nNext;
                return EFindResult::More;
            case EFindResult::NotFound:
                nResume = std::max(nPos, nTo);
                return result;
            default:
                return result;
        }
    }
}

std::vector<CFindMatch> CLogSearch::FindOverlapping(std::uint64_t nFrom, std::uint64_t nTo,
                                                    std::size_t nMax) {
    std::vector<CFindMatch> matches;
    if (!m_bValid) {
        return matches;
    }
    // A match that overlaps the range starts at most a needle (or a segment) before it.
    std::uint64_t nPos = 0;
    if (m_pScanner) {
        nPos = nFrom > m_pScanner->Length() ? nFrom - m_pScanner->Length() + 1 : 0;
    } else if (!SegmentStart(std::min(nFrom, m_doc.GetSize()), nPos)) {
        return matches;
    }
    while (matches.size() < nMax) {
        CFindMatch match;
        std::uint64_t nResume = 0;
        if (FindNext(nPos, nTo, UINT64_MAX, match, nResume) != EFindResult::Found) {
            break;
        }
        if (match.nEnd > nFrom) {
            matches.push_back(match);
        }
        nPos = match.nEnd;
    }
    return matches;
}

std::uint64_t CLogSearch::SettledEnd(std::uint64_t nSize) {
    if (!m_bValid) {
        return nSize;
    }
    if (m_pScanner) {
        return nSize >= m_pScanner->Length() ? nSize - m_pScanner->Length() + 1 : 0;
    }
    std::uint64_t nStart = 0;
    return nSize > 0 && SegmentStart(nSize - 1, nStart) ? nStart : 0;
}
