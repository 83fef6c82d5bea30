// The node interpreter: runs a compiled program against a subject from one position.
//
// It recurses where it must keep a way back (a choice between alternatives, each count of a
// repetition, the start and end of a group). Subjects come from the network and may be a
// megabyte long, so one match is bounded twice: by the depth of that recursion, which
// would otherwise grow with the subject for a repeated group and overflow the stack, and by
// the total work, which backtracking can make exponential. A match that would pass either
// bound fails with an error text instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "regexp/RegProgram.h"

// Nested calls of the interpreter allowed in one match. At the bound a match uses under
// 512 KiB of stack in an optimised build and under 2 MiB with the address sanitizer; the
// program's threads have 8 MiB.
constexpr int kRegMaxDepth = 5000;
// Work units allowed in one match: the base plus so many per subject character. A unit is
// one node visited, one character scanned by a repetition or compared against a literal, or
// one member of a set compared. The program's own patterns need under 20 per character.
constexpr std::int64_t kRegWorkBase = 1 << 20;
constexpr std::int64_t kRegWorkPerChar = 100;

class CRegExecutor : public CRegProgramAccessor {
public:
    CRegExecutor(CRegProgram& program, const char16_t* pBegin, std::size_t nLength);

    // One try at the given offset: clears the groups, runs the program and on success
    // records group 0.
    bool TryAt(std::size_t nOffset);
    // A bound was passed (the program's error text says which); no further try may run.
    bool Aborted() const { return m_bAborted; }
    // Work spent so far in this match.
    std::int64_t GetWork() const { return m_nWork; }

private:
    bool MatchFrom(const RegWord* pScan);
    bool MatchRepeat(const RegWord* pScan, const RegWord* pNext);
    bool MatchGroupMark(int nOp, const RegWord* pNext);
    // How many characters from the position the single-character node matches in a row.
    std::size_t CountRepeat(const RegWord* pNode);
    bool InSet(const RegWord* pSet, char16_t ch);
    bool Charge(std::int64_t nUnits);
    bool Abort(int nCode);
    // The character at p, or 0 at the end of the subject.
    char16_t CharAt(const char16_t* p) const { return p < m_pEnd ? *p : char16_t(0); }

    CRegProgram& m_program;
    const char16_t* m_pBegin;
    const char16_t* m_pEnd;
    const char16_t* m_pPos;
    int m_nDepth = 0;
    std::int64_t m_nWork = 0;
    std::int64_t m_nWorkLimit;
    bool m_bAborted = false;
};
