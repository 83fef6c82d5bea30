// The writing pass of the compiler: emits the program into a buffer that the measuring
// pass has sized exactly.
#pragma once

#include "regexp/RegCompilerBase.h"

class CRegCompiler : public CRegCompilerBase {
public:
    // pWords holds nSize words; the pass writes from word 0 on.
    CRegCompiler(RegWord* pWords, int nSize) : m_pWords(pWords), m_nSize(nSize) {}

    // Words written: the buffer size after a successful pass. Overflowed means that the two
    // passes disagreed; nothing was then written outside the buffer.
    int GetWritten() const { return m_nWritten; }
    bool Overflowed() const { return m_bOverflow; }

protected:
    void EmitWord(RegWord w) override;
    RegWord* EmitNode(int nOp) override;
    void InsertNode(int nOp, RegWord* pAt) override;
    void LinkTail(RegWord* pChain, RegWord* pTarget) override;
    void LinkOperandTail(RegWord* pNode, RegWord* pTarget) override;

private:
    bool Reserve(int nWords);

    RegWord* m_pWords;
    int m_nSize;
    int m_nWritten = 0;
    bool m_bOverflow = false;
    // Where EmitNode points when the buffer is full, so that callers always get a node.
    RegWord m_awSpare[kRegNodeWords] = {OP_NOTHING, 0, 0};
};
