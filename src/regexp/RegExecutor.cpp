#include "regexp/RegExecutor.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace {

// Word characters: ASCII letters, digits and the underscore; nothing above 127 is one.
bool IsWordChar(char16_t ch) {
    return (ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9') ||
           ch == u'_';
}

// Whether the text contains the needle, in time linear in both (a plain search can take
// text length times needle length on a hostile subject).
bool Contains(std::u16string_view strText, std::u16string_view strNeedle) {
    if (strNeedle.empty()) {
        return true;
    }
    // anFail[i]: length of the longest proper border of the needle's first i + 1 characters.
    std::vector<std::size_t> anFail(strNeedle.size(), 0);
    for (std::size_t i = 1, k = 0; i < strNeedle.size(); ++i) {
        while (k > 0 && strNeedle[i] != strNeedle[k]) {
            k = anFail[k - 1];
        }
        if (strNeedle[i] == strNeedle[k]) {
            ++k;
        }
        anFail[i] = k;
    }
    for (std::size_t i = 0, k = 0; i < strText.size(); ++i) {
        while (k > 0 && strText[i] != strNeedle[k]) {
            k = anFail[k - 1];
        }
        if (strText[i] == strNeedle[k]) {
            ++k;
        }
        if (k == strNeedle.size()) {
            return true;
        }
    }
    return false;
}

}  // namespace

CRegExecutor::CRegExecutor(CRegProgram& program, const char16_t* pBegin, std::size_t nLength)
    : m_program(program),
      m_pBegin(pBegin),
      m_pEnd(pBegin + nLength),
      m_pPos(pBegin),
      m_nWorkLimit(kRegWorkBase + kRegWorkPerChar * static_cast<std::int64_t>(nLength)) {}

bool CRegExecutor::Charge(std::int64_t nUnits) {
    if (m_bAborted) {
        return false;
    }
    m_nWork += nUnits;
    if (m_nWork > m_nWorkLimit) {
        return Abort(REGERR_TOO_COSTLY);
    }
    return true;
}

bool CRegExecutor::Abort(int nCode) {
    if (!m_bAborted) {
        m_bAborted = true;
        m_program.SetError(nCode);
    }
    return false;
}

bool CRegExecutor::TryAt(std::size_t nOffset) {
    std::fill(std::begin(m_program.m_anStart), std::end(m_program.m_anStart), -1);
    std::fill(std::begin(m_program.m_anEnd), std::end(m_program.m_anEnd), -1);
    m_pPos = m_pBegin + nOffset;
    if (!MatchFrom(m_program.m_pWords.get() + 1)) {
        return false;
    }
    m_program.m_anStart[0] = static_cast<std::ptrdiff_t>(nOffset);
    m_program.m_anEnd[0] = m_pPos - m_pBegin;
    return true;
}

bool CRegExecutor::InSet(const RegWord* pSet, char16_t ch) {
    const RegWord* p = pSet;
    while (*p != 0 && *p != ch) {
        ++p;
    }
    Charge(p - pSet + 1);
    return *p != 0;
}

std::size_t CRegExecutor::CountRepeat(const RegWord* pNode) {
    const RegWord* pOperand = GetOperand(pNode);
    const char16_t* p = m_pPos;
    switch (GetOpcode(pNode)) {
        case OP_ANY:
            p = m_pEnd;
            break;
        case OP_EXACTLY:
            while (p < m_pEnd && *p == pOperand[0]) {
                ++p;
            }
            break;
        case OP_ANYOF:
            while (p < m_pEnd && !m_bAborted && InSet(pOperand, *p)) {
                ++p;
            }
            break;
        case OP_ANYBUT:
            while (p < m_pEnd && !m_bAborted && !InSet(pOperand, *p)) {
                ++p;
            }
            break;
        default:
            Abort(REGERR_BAD_REPEAT);
            return 0;
    }
    const std::size_t nCount = static_cast<std::size_t>(p - m_pPos);
    Charge(static_cast<std::int64_t>(nCount));
    return nCount;
}

// OP_STAR / OP_PLUS: the longest run first, then one shorter at a time.
bool CRegExecutor::MatchRepeat(const RegWord* pScan, const RegWord* pNext) {
    const RegWord* pOperand = GetOperand(pScan);
    const std::size_t nMin = GetOpcode(pScan) == OP_STAR ? 0 : 1;
    // When a literal follows, only counts that stop in front of its first character can work.
    const bool bLiteralNext = pNext != nullptr && GetOpcode(pNext) == OP_EXACTLY;
    const char16_t chNext = bLiteralNext ? GetOperand(pNext)[0] : char16_t(0);
    const char16_t* pStart = m_pPos;
    std::size_t nCount = CountRepeat(pOperand);
    if (m_bAborted) {
        return false;
    }
    for (; nCount + 1 > nMin; --nCount) {
        m_pPos = pStart + nCount;
        if (!bLiteralNext || CharAt(m_pPos) == chNext) {
            if (MatchFrom(pNext)) {
                return true;
            }
            if (m_bAborted) {
                return false;
            }
        }
        if (nCount == 0) {
            break;
        }
    }
    return false;
}

// OP_OPEN + n / OP_CLOSE + n. The position is recorded on the way back out of a successful
// match, and only when not set already: a repeated group keeps its last repetition.
bool CRegExecutor::MatchGroupMark(int nOp, const RegWord* pNext) {
    const bool bOpen = nOp < OP_CLOSE;
    const int nGroup = nOp - (bOpen ? OP_OPEN : OP_CLOSE);
    const std::ptrdiff_t nSave = m_pPos - m_pBegin;
    if (!MatchFrom(pNext)) {
        return false;
    }
    std::ptrdiff_t* pMark = bOpen ? &m_program.m_anStart[nGroup] : &m_program.m_anEnd[nGroup];
    if (*pMark < 0) {
        *pMark = nSave;
    }
    return true;
}

bool CRegExecutor::MatchFrom(const RegWord* pScan) {
    struct SDepth {
        int& n;
        explicit SDepth(int& r) : n(++r) {}
        ~SDepth() { --n; }
    } depth(m_nDepth);
    if (m_nDepth > kRegMaxDepth) {
        return Abort(REGERR_TOO_DEEP);
    }

    while (pScan != nullptr) {
        if (!Charge(1)) {
            return false;
        }
        const RegWord* pNext = GetNext(pScan);
        const int nOp = GetOpcode(pScan);
        switch (nOp) {
            case OP_BOL:
                if (m_pPos != m_pBegin) {
                    return false;
                }
                break;
            case OP_EOL:
                if (m_pPos != m_pEnd) {
                    return false;
                }
                break;
            case OP_ANY:
                if (m_pPos == m_pEnd) {
                    return false;
                }
                ++m_pPos;
                break;
            case OP_ANYOF:
            case OP_ANYBUT:
                if (m_pPos == m_pEnd || InSet(GetOperand(pScan), *m_pPos) != (nOp == OP_ANYOF)) {
                    return false;
                }
                ++m_pPos;
                break;
            case OP_EXACTLY: {
                const RegWord* pText = GetOperand(pScan);
                if (CharAt(m_pPos) != pText[0]) {
                    return false;
                }
                // Compare up to the first difference, the literal's end or the subject's end,
                // and charge what was compared.
                const char16_t* p = m_pPos + 1;
                ++pText;
                while (*pText != 0 && p < m_pEnd && *p == *pText) {
                    ++p;
                    ++pText;
                }
                if (!Charge(p - m_pPos) || *pText != 0) {
                    return false;
                }
                m_pPos = p;
                break;
            }
            case OP_NOTHING:
            case OP_BACK:
                break;
            case OP_WORDSTART:
                if (!IsWordChar(CharAt(m_pPos)) || (m_pPos != m_pBegin && IsWordChar(m_pPos[-1]))) {
                    return false;
                }
                break;
            case OP_WORDEND:
                if (IsWordChar(CharAt(m_pPos))) {
                    return false;
                }
                break;
            case OP_BRANCH:
                if (pNext == nullptr || GetOpcode(pNext) != OP_BRANCH) {
                    pNext = GetOperand(pScan);  // a single alternative: no choice to keep
                } else {
                    const char16_t* pSave = m_pPos;
                    for (; pScan != nullptr && GetOpcode(pScan) == OP_BRANCH;
                         pScan = GetNext(pScan)) {
                        if (MatchFrom(GetOperand(pScan))) {
                            return true;
                        }
                        if (m_bAborted) {
                            return false;
                        }
                        m_pPos = pSave;
                    }
                    return false;
                }
                break;
            case OP_STAR:
            case OP_PLUS:
                return MatchRepeat(pScan, pNext);
            case OP_END:
                return true;
            default:
                if ((nOp > OP_OPEN && nOp < OP_OPEN + kRegGroups) ||
                    (nOp > OP_CLOSE && nOp < OP_CLOSE + kRegGroups)) {
                    return MatchGroupMark(nOp, pNext);
                }
                return Abort(REGERR_CORRUPTION);
        }
        pScan = pNext;
    }
    return Abort(REGERR_CORRUPTED_POINTERS);
}

bool CRegProgram::Match(const char16_t* pSubject, std::size_t nLength) {
    ClearResults();
    m_nLastWork = 0;
    if (pSubject == nullptr) {
        SetError(REGERR_NULL_SUBJECT);
        return false;
    }
    if (!m_pWords || m_nSize < 1 || m_pWords[0] != kRegSignature) {
        SetError(REGERR_CORRUPTED_PROGRAM);
        return false;
    }
    const std::u16string_view strSubject(pSubject, nLength);
    if (m_nMustHave != 0 && !Contains(strSubject, GetMustHave())) {
        return false;
    }

    CRegExecutor executor(*this, pSubject, nLength);
    bool bFound = false;
    if (m_bAnchored) {
        bFound = executor.TryAt(0);
    } else if (m_chFirst != 0) {
        // At the start, then wherever the first character occurs.
        for (std::size_t nPos = 0; nPos != std::u16string_view::npos && !executor.Aborted();
             nPos = strSubject.find(m_chFirst, nPos + 1)) {
            if (executor.TryAt(nPos)) {
                bFound = true;
                break;
            }
            if (nPos >= nLength) {
                break;
            }
        }
    } else {
        // Every position, the end included, so that an empty match at the end is found.
        for (std::size_t nPos = 0; nPos <= nLength && !executor.Aborted(); ++nPos) {
            if (executor.TryAt(nPos)) {
                bFound = true;
                break;
            }
        }
    }
    m_nLastWork = executor.GetWork();
    if (!bFound) {
        ClearResults();
        return false;
    }
    int nCount = 0;
    while (nCount < kRegGroups && m_anStart[nCount] >= 0) {
        ++nCount;
    }
    m_nSubCount = nCount - 1;
    return true;
}
