// The main window of the headless front end (and of the end-to-end tests): the connection
// bar's three fields, the status bar, the log view's Listen toggle and the close behaviour
// of the main frame, on a CMessageWindow.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "capture/ListenToggle.h"
#include "module/MessageWindow.h"

class CHeadlessMainWindow : public CMessageWindow {
public:
    explicit CHeadlessMainWindow(ILogSink& logSink) : CMessageWindow(logSink) {}

    // Any thread. What the connection bar's fields hold.
    void SetConnectionSettings(const std::wstring& strUrl, int nLocalPort, int nRemotePort);

    // Called on the GUI thread for every status text shown (pane, text).
    void SetStatusObserver(std::function<void(int, const std::wstring&)> fn);
    // Called on the GUI thread with status texts shown, as lines (each ending in a line
    // break, in the order shown): those of one batch of queued messages together, once the
    // batch is handled or before a command or a close, so that a burst of sessions costs
    // one write of the output instead of one per text.
    void SetStatusLinesObserver(std::function<void(const std::string&)> fn);

    // Any thread. The last text shown in a status pane.
    std::wstring GetStatusText(int nPane) const;
    // Any thread. Whether the Listen toggle reports listening.
    bool IsListening() const;
    // Any thread. The sessions that have not been deleted yet.
    long GetSessionCount();
    int GetBannerNotifications() const;
    bool IsCommandEnabled(UINT nId) const;

protected:
    // Any thread. The connection bar's fields are kept under the window's own lock: a
    // session's query for them (UM_GET_CONNECTION, once per connection) is answered at once.
    bool AnswerOnSenderThread(UINT nMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;
    LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    void OnBatchHandled() override;

private:
    // GUI thread. Hands the collected status lines to their observer.
    void FlushStatusLines();
    void OnListenCommand(bool bFlag);
    void OnClose();

    CListenToggle m_listen;  // GUI thread
    mutable std::mutex m_mutex;
    std::wstring m_strUrl;
    int m_nLocalPort = 0;
    int m_nRemotePort = 0;
    std::map<int, std::wstring> m_status;
    std::map<UINT, bool> m_commands;
    std::function<void(int, const std::wstring&)> m_fnStatus;
    std::function<void(const std::string&)> m_fnStatusLines;
    std::string m_strStatusLines;  // GUI thread: collected over the batch being handled
    bool m_bListening = false;
    int m_nBannerNotifications = 0;
};
