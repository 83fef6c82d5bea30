#include "app/ConsoleLog.h"

#include "module/Messages.h"
#include "platform/TextConv.h"

CConsoleLog::CConsoleLog(CLogFileWriter* pOut, bool bAnsi, CLogFileWriter* pFile)
    : m_pOut(pOut), m_bAnsi(bAnsi), m_pFile(pFile) {}

void CConsoleLog::AppendLog(std::wstring_view text, int nStyle) {
    std::lock_guard lock(m_mutex);
    const std::string strBytes = win::WideToAnsi(text);
    Write(strBytes, nStyle);
}

void CConsoleLog::AppendLogBytes(std::string_view bytes, int nStyle) {
    std::lock_guard lock(m_mutex);
    if (m_buffer.size() < 3 * bytes.size()) {
        m_buffer.resize(3 * bytes.size());  // grows to the largest block once, no clearing after
    }
    const std::size_t n = win::AnsiToUtf8(bytes, m_buffer.data(), true);
    Write(std::string_view(m_buffer.data(), n), nStyle);
}

void CConsoleLog::AppendLogUtf8(std::string_view text, int nStyle) {
    std::lock_guard lock(m_mutex);
    Write(text, nStyle);
}

void CConsoleLog::Write(std::string_view bytes, int nStyle) {
    if (nStyle != LOG_STYLE_KEEP) {
        m_bBold = nStyle == LOG_STYLE_BOLD;
    }
    if (m_pOut != nullptr) {
        if (m_bAnsi && m_bBold && !bytes.empty()) {
            m_strStyled.assign("\x1b[1m").append(bytes).append("\x1b[0m");
            m_pOut->Append(m_strStyled);
        } else {
            m_pOut->Append(bytes);
        }
    }
    if (m_pFile != nullptr) {
        m_pFile->Append(bytes);
    }
}
