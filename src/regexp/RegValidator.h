// The measuring pass of the compiler: counts the words of the program, writes nothing.
#pragma once

#include <cstdint>

#include "regexp/RegCompilerBase.h"

class CRegValidator : public CRegCompilerBase {
public:
    // Words counted so far. 64-bit, so that a pattern made of many wide ranges cannot wrap
    // the count below the size limit.
    std::int64_t GetSize() const { return m_nSize; }

protected:
    void EmitWord(RegWord) override { m_nSize += 1; }
    RegWord* EmitNode(int) override;
    void InsertNode(int, RegWord*) override { m_nSize += kRegNodeWords; }
    void LinkTail(RegWord*, RegWord*) override {}
    void LinkOperandTail(RegWord*, RegWord*) override {}
    void EmitRange(char16_t chFirst, char16_t chLast) override;

private:
    std::int64_t m_nSize = 0;
    // What EmitNode returns: a nothing node without next, never written to.
    RegWord m_awDummy[kRegNodeWords] = {OP_NOTHING, 0, 0};
};
