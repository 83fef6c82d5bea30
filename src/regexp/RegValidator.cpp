#include "regexp/RegValidator.h"

RegWord* CRegValidator::EmitNode(int) {
    m_nSize += kRegNodeWords;
    return m_awDummy;
}

void CRegValidator::EmitRange(char16_t chFirst, char16_t chLast) {
    if (chLast >= chFirst) {
        m_nSize += static_cast<std::int64_t>(chLast) - chFirst + 1;
    }
}
