#include "regexp/RegCompilerBase.h"

#include <string>

namespace {

bool IsRepeat(char16_t ch) {
    return ch == u'*' || ch == u'+' || ch == u'?';
}

// Characters after which a literal run stops (they begin an atom of their own).
bool EndsLiteralRun(char16_t ch) {
    switch (ch) {
        case u'\n':
        case u'$':
        case u'(':
        case u')':
        case u'.':
        case u'[':
        case u'^':
        case u'|':
            return true;
        default:
            return false;
    }
}

}  // namespace

void CRegCompilerBase::EmitRange(char16_t chFirst, char16_t chLast) {
    for (int ch = chFirst; ch <= chLast; ++ch) {
        EmitWord(static_cast<RegWord>(ch));
    }
}

bool CRegCompilerBase::Parse(std::u16string_view strPattern, int* pnFlags) {
    m_strPattern = strPattern;
    m_nPos = 0;
    m_nGroups = 1;
    ClearError();
    EmitWord(kRegSignature);
    return ParseExpression(false, pnFlags) != nullptr;
}

// An expression: alternatives separated by '|', as the whole pattern or inside a group.
RegWord* CRegCompilerBase::ParseExpression(bool bInGroup, int* pnFlags) {
    *pnFlags = REGF_HASWIDTH;
    int nGroup = 0;
    RegWord* pRet = nullptr;
    if (bInGroup) {
        if (m_nGroups >= kRegGroups) {
            return Fail(REGERR_TOO_MANY_GROUPS);
        }
        nGroup = m_nGroups++;
        pRet = EmitNode(OP_OPEN + nGroup);
    }

    bool bFirst = true;
    do {
        if (!bFirst) {
            ++m_nPos;  // the '|'
        }
        int nBranchFlags = 0;
        RegWord* pBranch = ParseBranch(&nBranchFlags);
        if (pBranch == nullptr) {
            return nullptr;
        }
        if (pRet == nullptr) {
            pRet = pBranch;
        } else {
            LinkTail(pRet, pBranch);
        }
        if (!(nBranchFlags & REGF_HASWIDTH)) {
            *pnFlags &= ~REGF_HASWIDTH;
        }
        *pnFlags |= nBranchFlags & REGF_SPSTART;
        bFirst = false;
    } while (Peek() == u'|' && !AtEnd());

    RegWord* pEnder = EmitNode(bInGroup ? OP_CLOSE + nGroup : OP_END);
    LinkTail(pRet, pEnder);
    // Every alternative continues with the ender.
    for (RegWord* pBranch = pRet; pBranch != nullptr; pBranch = GetNext(pBranch)) {
        LinkOperandTail(pBranch, pEnder);
    }

    if (bInGroup) {
        if (Peek() != u')' || AtEnd()) {
            return Fail(REGERR_UNTERMINATED_GROUP);
        }
        ++m_nPos;
    } else if (!AtEnd()) {
        return Fail(Peek() == u')' ? REGERR_UNMATCHED_GROUP : REGERR_JUNK_ON_END);
    }
    return pRet;
}

// A branch: the pieces of one alternative, chained.
RegWord* CRegCompilerBase::ParseBranch(int* pnFlags) {
    *pnFlags = 0;
    RegWord* pRet = EmitNode(OP_BRANCH);
    RegWord* pChain = nullptr;
    while (!AtEnd() && Peek() != u'|' && Peek() != u')') {
        int nPieceFlags = 0;
        RegWord* pLatest = ParsePiece(&nPieceFlags);
        if (pLatest == nullptr) {
            return nullptr;
        }
        *pnFlags |= nPieceFlags & REGF_HASWIDTH;
        if (pChain == nullptr) {
            *pnFlags |= nPieceFlags & REGF_SPSTART;
        } else {
            LinkTail(pChain, pLatest);
        }
        pChain = pLatest;
    }
    if (pChain == nullptr) {
        EmitNode(OP_NOTHING);
    }
    return pRet;
}

// A piece: an atom, possibly followed by one of '*', '+', '?'.
RegWord* CRegCompilerBase::ParsePiece(int* pnFlags) {
    int nAtomFlags = 0;
    RegWord* pRet = ParseAtom(&nAtomFlags);
    if (pRet == nullptr) {
        return nullptr;
    }
    const char16_t chOp = Peek();
    if (AtEnd() || !IsRepeat(chOp)) {
        *pnFlags = nAtomFlags;
        return pRet;
    }
    // A loop over something that can match the empty string would never end.
    if (!(nAtomFlags & REGF_HASWIDTH) && chOp != u'?') {
        return Fail(REGERR_EMPTY_OPERAND);
    }
    *pnFlags = chOp == u'*' ? REGF_SPSTART : chOp == u'+' ? (REGF_HASWIDTH | REGF_SPSTART) : 0;

    if (chOp == u'*' && (nAtomFlags & REGF_SIMPLE)) {
        InsertNode(OP_STAR, pRet);
    } else if (chOp == u'*') {
        // Either the atom, looping back to this choice, or nothing. One more repetition is
        // tried before leaving.
        InsertNode(OP_BRANCH, pRet);
        LinkOperandTail(pRet, EmitNode(OP_BACK));
        LinkOperandTail(pRet, pRet);
        LinkTail(pRet, EmitNode(OP_BRANCH));
        LinkTail(pRet, EmitNode(OP_NOTHING));
    } else if (chOp == u'+' && (nAtomFlags & REGF_SIMPLE)) {
        InsertNode(OP_PLUS, pRet);
    } else if (chOp == u'+') {
        // The atom, then either back to it or on.
        RegWord* pNext = EmitNode(OP_BRANCH);
        LinkTail(pRet, pNext);
        LinkTail(EmitNode(OP_BACK), pRet);
        LinkTail(pNext, EmitNode(OP_BRANCH));
        LinkTail(pRet, EmitNode(OP_NOTHING));
    } else {
        // Either the atom or nothing.
        InsertNode(OP_BRANCH, pRet);
        LinkTail(pRet, EmitNode(OP_BRANCH));
        RegWord* pNext = EmitNode(OP_NOTHING);
        LinkTail(pRet, pNext);
        LinkOperandTail(pRet, pNext);
    }
    ++m_nPos;
    if (!AtEnd() && IsRepeat(Peek())) {
        return Fail(REGERR_NESTED_REPEAT);
    }
    return pRet;
}

RegWord* CRegCompilerBase::ParseAtom(int* pnFlags) {
    *pnFlags = 0;
    if (AtEnd()) {
        return Fail(REGERR_UNEXPECTED_END);
    }
    const char16_t ch = m_strPattern[m_nPos];
    switch (ch) {
        case u'^':
            ++m_nPos;
            return EmitNode(OP_BOL);
        case u'$':
            ++m_nPos;
            return EmitNode(OP_EOL);
        case u'.':
            ++m_nPos;
            *pnFlags = REGF_HASWIDTH | REGF_SIMPLE;
            return EmitNode(OP_ANY);
        case u'[':
            ++m_nPos;
            return ParseSet(pnFlags);
        case u'(': {
            ++m_nPos;
            int nFlags = 0;
            RegWord* pRet = ParseExpression(true, &nFlags);
            *pnFlags = nFlags & (REGF_HASWIDTH | REGF_SPSTART);
            return pRet;
        }
        case u'|':
        case u')':
            return Fail(REGERR_UNEXPECTED_END);
        case u'*':
        case u'+':
        case u'?':
            return Fail(REGERR_REPEAT_FOLLOWS_NOTHING);
        case u'\\':
            if (m_nPos + 1 >= m_strPattern.size()) {
                return Fail(REGERR_TRAILING_BACKSLASH);
            }
            if (m_strPattern[m_nPos + 1] == u'<') {
                m_nPos += 2;
                return EmitNode(OP_WORDSTART);
            }
            if (m_strPattern[m_nPos + 1] == u'>') {
                m_nPos += 2;
                return EmitNode(OP_WORDEND);
            }
            return ParseLiteralRun(pnFlags);
        default:
            return ParseLiteralRun(pnFlags);
    }
}

// A bracket expression; the parse position is just after the '['.
RegWord* CRegCompilerBase::ParseSet(int* pnFlags) {
    int nOp = OP_ANYOF;
    if (!AtEnd() && Peek() == u'^') {
        nOp = OP_ANYBUT;
        ++m_nPos;
    }
    RegWord* pRet = EmitNode(nOp);
    // A ']' or '-' first is a member.
    if (!AtEnd() && (Peek() == u']' || Peek() == u'-')) {
        EmitWord(m_strPattern[m_nPos++]);
    }
    while (!AtEnd() && Peek() != u']') {
        const char16_t ch = m_strPattern[m_nPos++];
        if (ch != u'-') {
            EmitWord(ch);
        } else if (AtEnd() || Peek() == u']') {
            EmitWord(u'-');
        } else {
            // The character before the hyphen is a member already; add the rest of the range.
            const char16_t chFirst = m_strPattern[m_nPos - 2];
            const char16_t chLast = m_strPattern[m_nPos++];
            if (chLast < chFirst) {
                return Fail(REGERR_INVALID_RANGE);
            }
            if (chLast > chFirst) {
                EmitRange(static_cast<char16_t>(chFirst + 1), chLast);
            }
        }
    }
    if (AtEnd()) {
        return Fail(REGERR_UNMATCHED_SET);
    }
    ++m_nPos;  // the ']'
    EmitWord(0);
    *pnFlags = REGF_HASWIDTH | REGF_SIMPLE;
    return pRet;
}

// A run of literal characters, starting at the parse position (a character, or a backslash
// that escapes one). A character followed by a repetition is left out of a longer run, so
// that the repetition applies to it alone.
RegWord* CRegCompilerBase::ParseLiteralRun(int* pnFlags) {
    std::u16string strRun;
    while (!AtEnd()) {
        const std::size_t nUnit = m_nPos;
        char16_t ch = m_strPattern[m_nPos];
        if (ch == u'\\') {
            if (m_nPos + 1 >= m_strPattern.size() || m_strPattern[m_nPos + 1] == u'<' ||
                m_strPattern[m_nPos + 1] == u'>') {
                break;  // not part of the run; the next atom handles it
            }
            ch = m_strPattern[m_nPos + 1];
            m_nPos += 2;
        } else {
            ++m_nPos;
        }
        if (!AtEnd() && IsRepeat(Peek())) {
            if (!strRun.empty()) {
                m_nPos = nUnit;
            } else {
                strRun.push_back(ch);
            }
            break;
        }
        strRun.push_back(ch);
        if (AtEnd() || EndsLiteralRun(Peek())) {
            break;
        }
    }
    RegWord* pRet = EmitNode(OP_EXACTLY);
    for (const char16_t ch : strRun) {
        EmitWord(ch);
    }
    EmitWord(0);
    *pnFlags = REGF_HASWIDTH | (strRun.size() == 1 ? REGF_SIMPLE : 0);
    return pRet;
}
