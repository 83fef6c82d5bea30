// The pattern grammar, shared by the two compiler passes: the first (CRegValidator) only
// measures the program, the second (CRegCompiler) writes it into a buffer of exactly that
// size. The passes differ only in what the emission steps do.
#pragma once

#include <cstddef>
#include <string_view>

#include "regexp/RegProgram.h"

// Parse flags passed between the grammar steps.
enum ERegParseFlags : int {
    REGF_HASWIDTH = 1,  // cannot match the empty string
    REGF_SIMPLE = 2,    // exactly one character: usable inside OP_STAR / OP_PLUS
    REGF_SPSTART = 4,   // starts with a repetition (the must-have literal is then worth it)
};

class CRegCompilerBase : public CRegProgramAccessor {
public:
    virtual ~CRegCompilerBase() = default;

    // Emits the signature and the program of the whole pattern. False on a syntax error,
    // with the error text set. *pnFlags receives the flags of the whole expression.
    bool Parse(std::u16string_view strPattern, int* pnFlags);

protected:
    virtual void EmitWord(RegWord w) = 0;
    // Emits a node with no next and returns it.
    virtual RegWord* EmitNode(int nOp) = 0;
    // Inserts a node in front of the one at pAt, which moves up by one node.
    virtual void InsertNode(int nOp, RegWord* pAt) = 0;
    // Points the last node of the chain that starts at pChain at pTarget.
    virtual void LinkTail(RegWord* pChain, RegWord* pTarget) = 0;
    // For a branch node: LinkTail of its operand chain; otherwise nothing.
    virtual void LinkOperandTail(RegWord* pNode, RegWord* pTarget) = 0;
    // Emits the set members chFirst to chLast, in order. A range may hold tens of thousands
    // of characters: the measuring pass counts them without a loop.
    virtual void EmitRange(char16_t chFirst, char16_t chLast);

private:
    RegWord* ParseExpression(bool bInGroup, int* pnFlags);
    RegWord* ParseBranch(int* pnFlags);
    RegWord* ParsePiece(int* pnFlags);
    RegWord* ParseAtom(int* pnFlags);
    RegWord* ParseSet(int* pnFlags);
    RegWord* ParseLiteralRun(int* pnFlags);

    bool AtEnd() const { return m_nPos >= m_strPattern.size(); }
    // The character at the parse position, or 0 at the end.
    char16_t Peek() const { return AtEnd() ? char16_t(0) : m_strPattern[m_nPos]; }
    RegWord* Fail(int nCode) {
        SetError(nCode);
        return nullptr;
    }

    std::u16string_view m_strPattern;
    std::size_t m_nPos = 0;
    // The number the next group gets; 10 means that nine groups are open already.
    int m_nGroups = 1;
};
