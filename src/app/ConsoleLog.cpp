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
    Write(bytes, nStyle, true);
}

void CConsoleLog::AppendLogUtf8(std::string_view text, int nStyle) {
    std::lock_guard lock(m_mutex);
    Write(text, nStyle);
}

void CConsoleLog::Write(std::string_view bytes, int nStyle, bool bBlock) {
    if (nStyle != LOG_STYLE_KEEP) {
        m_bBold = nStyle == LOG_STYLE_BOLD;
    }
    const auto append = [&](CLogFileWriter& writer) {
        if (bBlock) {
            writer.AppendBlock(bytes);  // made into text on the writer's thread
        } else {
            writer.Append(bytes);
        }
    };
    if (m_pOut != nullptr) {
        if (m_bAnsi && m_bBold && !bytes.empty()) {
            if (bBlock) {
                m_pOut->Append("\x1b[1m");
                append(*m_pOut);
                m_pOut->Append("\x1b[0m");
            } else {
                m_strStyled.assign("\x1b[1m").append(bytes).append("\x1b[0m");
                m_pOut->Append(m_strStyled);
            }
        } else {
            append(*m_pOut);
        }
    }
    if (m_pFile != nullptr) {
        append(*m_pFile);
    }
}
