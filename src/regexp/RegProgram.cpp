#include "regexp/RegProgram.h"

#include <algorithm>
#include <cstring>

#include "regexp/RegCompiler.h"
#include "regexp/RegValidator.h"

const RegWord* CRegProgramAccessor::GetNext(const RegWord* pNode) {
    const int nOffset = pNode[1];
    if (nOffset == 0) {
        return nullptr;
    }
    return GetOpcode(pNode) == OP_BACK ? pNode - nOffset : pNode + nOffset;
}

void CRegProgram::ClearResults() {
    std::fill(std::begin(m_anStart), std::end(m_anStart), -1);
    std::fill(std::begin(m_anEnd), std::end(m_anEnd), -1);
    m_nSubCount = -1;
}

void CRegProgram::Compile(const char16_t* pszPattern, std::size_t nLength) {
    ClearError();
    ClearResults();
    m_bCompiled = false;
    m_pWords.reset();
    m_nSize = 0;
    m_chFirst = 0;
    m_bAnchored = false;
    m_nMustHave = 0;
    m_nMustHaveLength = 0;
    if (pszPattern == nullptr) {
        SetError(REGERR_NULL_PATTERN);
        return;
    }
    std::u16string_view strPattern(pszPattern, nLength);
    strPattern = strPattern.substr(0, strPattern.find(u'\0'));

    int nFlags = 0;
    CRegValidator validator;
    if (!validator.Parse(strPattern, &nFlags)) {
        SetErrorText(validator.GetErrorText());
        return;
    }
    if (validator.GetSize() > kRegMaxWords) {
        SetError(REGERR_TOO_BIG);
        return;
    }

    const int nSize = static_cast<int>(validator.GetSize());
    auto pWords = std::make_unique<RegWord[]>(static_cast<std::size_t>(nSize));
    CRegCompiler compiler(pWords.get(), nSize);
    if (!compiler.Parse(strPattern, &nFlags) || compiler.Overflowed() ||
        compiler.GetWritten() != nSize) {
        // Both passes run the same grammar over the same pattern; a difference would be a
        // fault of the engine, never a program to run.
        SetError(REGERR_CORRUPTION);
        return;
    }
    m_pWords = std::move(pWords);
    m_nSize = nSize;
    FindHints(nFlags);
    m_bCompiled = true;
}

// The search hints, worked out when the pattern is a single alternative.
void CRegProgram::FindHints(int nFlags) {
    const RegWord* pFirst = m_pWords.get() + 1;
    const RegWord* pNext = GetNext(pFirst);
    if (pNext == nullptr || GetOpcode(pNext) != OP_END) {
        return;
    }
    const RegWord* pScan = GetOperand(pFirst);
    if (GetOpcode(pScan) == OP_EXACTLY) {
        m_chFirst = GetOperand(pScan)[0];
    } else if (GetOpcode(pScan) == OP_BOL) {
        m_bAnchored = true;
    }
    // When the match starts with a repetition the try positions are many; a literal that
    // every match contains rules out subjects without it at once.
    if (nFlags & REGF_SPSTART) {
        const RegWord* pLongest = nullptr;
        std::size_t nLongest = 0;
        for (; pScan != nullptr; pScan = GetNext(pScan)) {
            if (GetOpcode(pScan) != OP_EXACTLY) {
                continue;
            }
            const RegWord* pText = GetOperand(pScan);
            std::size_t nLength = 0;
            while (pText[nLength] != 0) {
                ++nLength;
            }
            if (nLength >= nLongest) {
                pLongest = pText;
                nLongest = nLength;
            }
        }
        if (pLongest != nullptr) {
            m_nMustHave = static_cast<int>(pLongest - m_pWords.get());
            m_nMustHaveLength = static_cast<int>(nLongest);
        }
    }
}

std::u16string_view CRegProgram::GetMustHave() const {
    if (m_nMustHave == 0) {
        return {};
    }
    return std::u16string_view(m_pWords.get() + m_nMustHave,
                               static_cast<std::size_t>(m_nMustHaveLength));
}

std::unique_ptr<CRegProgram> CRegProgram::Clone() const {
    auto pCopy = std::make_unique<CRegProgram>();
    pCopy->m_nSize = m_nSize;
    if (m_pWords) {
        pCopy->m_pWords = std::make_unique<RegWord[]>(static_cast<std::size_t>(m_nSize));
        std::memcpy(pCopy->m_pWords.get(), m_pWords.get(),
                    static_cast<std::size_t>(m_nSize) * sizeof(RegWord));
    }
    pCopy->m_chFirst = m_chFirst;
    pCopy->m_bAnchored = m_bAnchored;
    pCopy->m_nMustHave = m_nMustHave;
    pCopy->m_nMustHaveLength = m_nMustHaveLength;
    pCopy->m_bCompiled = m_bCompiled;
    return pCopy;
}
