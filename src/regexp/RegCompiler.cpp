#include "regexp/RegCompiler.h"

#include <cstring>

bool CRegCompiler::Reserve(int nWords) {
    if (m_bOverflow || m_nSize - m_nWritten < nWords) {
        m_bOverflow = true;
        return false;
    }
    return true;
}

void CRegCompiler::EmitWord(RegWord w) {
    if (Reserve(1)) {
        m_pWords[m_nWritten++] = w;
    }
}

RegWord* CRegCompiler::EmitNode(int nOp) {
    if (!Reserve(kRegNodeWords)) {
        return m_awSpare;
    }
    RegWord* pNode = m_pWords + m_nWritten;
    pNode[0] = static_cast<RegWord>(nOp);
    pNode[1] = 0;
    pNode[2] = 0;
    m_nWritten += kRegNodeWords;
    return pNode;
}

void CRegCompiler::InsertNode(int nOp, RegWord* pAt) {
    if (pAt == m_awSpare || !Reserve(kRegNodeWords)) {
        m_bOverflow = true;
        return;
    }
    RegWord* pEnd = m_pWords + m_nWritten;
    std::memmove(pAt + kRegNodeWords, pAt, static_cast<std::size_t>(pEnd - pAt) * sizeof(RegWord));
    pAt[0] = static_cast<RegWord>(nOp);
    pAt[1] = 0;
    pAt[2] = 0;
    m_nWritten += kRegNodeWords;
}

void CRegCompiler::LinkTail(RegWord* pChain, RegWord* pTarget) {
    if (m_bOverflow || pChain == m_awSpare || pTarget == m_awSpare) {
        return;
    }
    RegWord* pScan = pChain;
    for (RegWord* pNext = GetNext(pScan); pNext != nullptr; pNext = GetNext(pScan)) {
        pScan = pNext;
    }
    const std::ptrdiff_t nOffset = GetOpcode(pScan) == OP_BACK ? pScan - pTarget : pTarget - pScan;
    if (nOffset <= 0 || nOffset > kRegMaxWords) {
        // Cannot happen with a program built by the grammar; refuse rather than corrupt.
        m_bOverflow = true;
        return;
    }
    pScan[1] = static_cast<RegWord>(nOffset);
}

void CRegCompiler::LinkOperandTail(RegWord* pNode, RegWord* pTarget) {
    if (m_bOverflow || pNode == m_awSpare || GetOpcode(pNode) != OP_BRANCH) {
        return;
    }
    LinkTail(GetOperand(pNode), pTarget);
}
