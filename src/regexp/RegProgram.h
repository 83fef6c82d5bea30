// The compiled form of a pattern: an array of 16-bit words, its search hints and the
// results of the last match.
//
// Word 0 is the signature; nodes follow from word 1. A node is three words: opcode, offset
// of the next node (0: none; counted backwards for OP_BACK, forwards for every other
// opcode) and a word that is always 0. A node's operand, if any, follows right after it:
// a zero-terminated string of 16-bit characters (a literal, or the members of a set).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "regexp/RegError.h"

// One word of a program. Characters of operands are stored as they are, so the word type is
// the character type.
using RegWord = char16_t;

enum ERegOpcode : int {
    OP_END = 0,         // end of the program: success
    OP_BOL = 1,         // start of the subject
    OP_EOL = 2,         // end of the subject
    OP_ANY = 3,         // any one character, line breaks included
    OP_ANYOF = 4,       // one character of the set operand
    OP_ANYBUT = 5,      // one character not in the set operand
    OP_BRANCH = 6,      // one alternative (operand: a node chain); alternatives chain via next
    OP_BACK = 7,        // nothing; next points backwards and closes a loop
    OP_EXACTLY = 8,     // the literal operand
    OP_NOTHING = 9,     // the empty string
    OP_STAR = 10,       // greedy zero or more of the single-character node operand
    OP_PLUS = 11,       // greedy one or more of the single-character node operand
    OP_WORDSTART = 12,  // \< : a word character follows, none precedes
    OP_WORDEND = 13,    // \> : no word character follows
    OP_OPEN = 20,       // OP_OPEN + n, n from 1 to 9: start of group n
    OP_CLOSE = 30,      // OP_CLOSE + n: end of group n
};

constexpr RegWord kRegSignature = 0xFF9C;
constexpr int kRegNodeWords = 3;
constexpr int kRegMaxWords = 32766;
// Group 0 is the whole match, 1 to 9 the parenthesised groups.
constexpr int kRegGroups = 10;

// Reading the nodes of a program.
class CRegProgramAccessor : public CRegErrorHandler {
public:
    static int GetOpcode(const RegWord* pNode) { return pNode[0]; }
    // The next node, or null when the node has none.
    static const RegWord* GetNext(const RegWord* pNode);
    static RegWord* GetNext(RegWord* pNode) {
        return const_cast<RegWord*>(GetNext(static_cast<const RegWord*>(pNode)));
    }
    static const RegWord* GetOperand(const RegWord* pNode) { return pNode + kRegNodeWords; }
    static RegWord* GetOperand(RegWord* pNode) { return pNode + kRegNodeWords; }
};

class CRegProgram : public CRegProgramAccessor {
public:
    CRegProgram() = default;
    CRegProgram(const CRegProgram&) = delete;
    CRegProgram& operator=(const CRegProgram&) = delete;

    // Compiles a pattern (null: error 10). The pattern ends at its first zero character,
    // since operands in the program are zero-terminated. On failure the error text says why
    // and the program stays uncompiled.
    void Compile(const char16_t* pszPattern, std::size_t nLength);

    // A new program with the words, size, hints and compiled flag of this one; no results,
    // no error, no other holders.
    std::unique_ptr<CRegProgram> Clone() const;

    // Searches the subject (nLength characters from pSubject; zero characters are ordinary
    // ones) for the leftmost match and records its groups. False on no match and on errors
    // (with the error text set). Defined in RegMatch.cpp.
    bool Match(const char16_t* pSubject, std::size_t nLength);

    bool IsCompiled() const { return m_bCompiled; }
    int GetSize() const { return m_nSize; }
    const RegWord* GetWords() const { return m_pWords.get(); }
    char16_t GetFirstChar() const { return m_chFirst; }
    bool IsAnchored() const { return m_bAnchored; }
    // The literal every match contains, empty when there is none.
    std::u16string_view GetMustHave() const;

    // Results of the last Match: the number of leading set groups minus one (-1 after a
    // failure), and offsets of a group's start and end (one past) in the subject, -1 when
    // the group is unset. Offsets rather than pointers, so that copies of a matcher that
    // share this program can read them against their own copy of the subject.
    int GetSubCount() const { return m_nSubCount; }
    std::ptrdiff_t GetGroupStart(int nGroup) const { return m_anStart[nGroup]; }
    std::ptrdiff_t GetGroupEnd(int nGroup) const { return m_anEnd[nGroup]; }
    // Work units the last Match spent (see kRegWorkPerChar).
    std::int64_t GetLastWork() const { return m_nLastWork; }

    // Holders beyond the first. Atomic, so that copies of a matcher may live and die on
    // different threads; a program that has other holders is never matched against but
    // cloned first (see CRegMatcher).
    std::atomic<int>& ExtraReferences() { return m_nExtraRefs; }

private:
    friend class CRegExecutor;

    void ClearResults();
    void FindHints(int nFlags);

    int m_nSize = 0;
    std::ptrdiff_t m_anStart[kRegGroups] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    std::ptrdiff_t m_anEnd[kRegGroups] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    char16_t m_chFirst = 0;
    bool m_bAnchored = false;
    // Word index of the must-have literal's first character (0: none) and its length. An
    // index survives the copy of the words in Clone.
    int m_nMustHave = 0;
    int m_nMustHaveLength = 0;
    std::unique_ptr<RegWord[]> m_pWords;
    bool m_bCompiled = false;
    std::atomic<int> m_nExtraRefs{0};
    int m_nSubCount = -1;
    std::int64_t m_nLastWork = 0;
};
