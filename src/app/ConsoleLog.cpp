#include "app/ConsoleLog.h"

#include "app/Messages.h"
#include "platform/TextConv.h"

CConsoleLog::CConsoleLog(std::FILE* pOut, bool bAnsi, std::FILE* pFile)
    : m_pOut(pOut), m_bAnsi(bAnsi), m_pFile(pFile) {}

void CConsoleLog::AppendLog(std::wstring_view text, int nStyle) {
    std::lock_guard lock(m_mutex);
    m_strBytes = win::WideToAnsi(text);
    Write(nStyle);
}

void CConsoleLog::AppendLogBytes(std::string_view bytes, int nStyle) {
    std::lock_guard lock(m_mutex);
    m_strBytes.clear();
    win::AppendAnsiAsUtf8(bytes, m_strBytes, true);
    Write(nStyle);
}

void CConsoleLog::Write(int nStyle) {
    if (nStyle != LOG_STYLE_KEEP) {
        m_bBold = nStyle == LOG_STYLE_BOLD;
    }
    if (m_pOut != nullptr) {
        if (m_bAnsi && m_bBold) {
            std::fputs("\x1b[1m", m_pOut);
        }
        std::fwrite(m_strBytes.data(), 1, m_strBytes.size(), m_pOut);
        if (m_bAnsi && m_bBold) {
            std::fputs("\x1b[0m", m_pOut);
        }
        if (!m_bBold) {
            std::fflush(m_pOut);  // a block is out as soon as its data is
        }
    }
    if (m_pFile != nullptr) {
        std::fwrite(m_strBytes.data(), 1, m_strBytes.size(), m_pFile);
        if (!m_bBold) {
            std::fflush(m_pFile);
        }
    }
}

void CConsoleLog::Flush() {
    std::lock_guard lock(m_mutex);
    if (m_pOut != nullptr) {
        std::fflush(m_pOut);
    }
    if (m_pFile != nullptr) {
        std::fflush(m_pFile);
    }
}
