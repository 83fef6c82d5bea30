#include "capture/SessionLink.h"

#include <atomic>

#include "module/MyModule.h"
#include "platform/DebugOutput.h"
#include "platform/WinFormat.h"
#include "support/ResourceStrings.h"
#include "support/Trace.h"

void CSessionLink::SetClientLoopRunning(bool bRunning) {
    std::lock_guard lock(m_mutex);
    m_bClientLoopRunning = bRunning;
}

bool CSessionLink::ClientLoopEnded() {
    std::lock_guard lock(m_mutex);
    m_bClientLoopRunning = false;
    return m_pAccept == nullptr;
}

bool CSessionLink::SessionGone() {
    std::lock_guard lock(m_mutex);
    m_pAccept = nullptr;
    return m_bClientLoopRunning;
}

bool CSessionLink::ClientDestroyed() {
    std::lock_guard lock(m_mutex);
    const bool bFirst = !m_bClientDestroyed;
    m_bClientDestroyed = true;
    return bFirst;
}

bool CSessionLink::BeginAbort() {
    std::lock_guard lock(m_mutex);
    const bool bFirst = !m_bAborted;
    m_bAborted = true;
    return bFirst;
}

bool CSessionLink::IsAborted() {
    std::lock_guard lock(m_mutex);
    return m_bAborted;
}

void LogSessionError(long nSession, std::wstring strText) {
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r')) {
        strText.pop_back();
    }
    const std::wstring strLine = win::FormatW(L"Session %ld: %s", nSession, strText);
    Trace(L"%s", strLine);
    {
        CModuleLock lock;
        g_Module.AppendLog(L"\r\n" + strLine, LOG_STYLE_BOLD);
        g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
    }
    g_Module.SetStatusText(strLine, STATUS_PANE_TEXT);
}

void LogSessionLine(long nSession, unsigned nId) {
    CModuleLock lock;
    std::wstring strText;
    FormatResource(strText, nId, nSession);
    g_Module.SetStatusText(strText, STATUS_PANE_TEXT);
    const std::wstring strLine = L"\r\n" + strText;
    win::OutputDebugStringW(strLine);
    g_Module.AppendLog(strLine, LOG_STYLE_BOLD);
    win::OutputDebugStringW(L"");
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
}

std::uint64_t CSessionLink::NextSessionId() {
    static std::atomic<std::uint64_t> s_nNext{0};
    return ++s_nNext;
}
