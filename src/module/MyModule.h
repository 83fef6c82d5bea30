// The one process-wide object through which the network side reaches the user interface.
// Every operation is one message to the main window, sent (the caller waits) or posted.
// It also owns the module lock, which keeps whole blocks of log output together.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

#include "module/MainWindow.h"
#include "module/Messages.h"
#include "net/LockedText.h"

class CMyModule {
public:
    CMyModule() = default;
    CMyModule(const CMyModule&) = delete;
    CMyModule& operator=(const CMyModule&) = delete;

    // GUI thread, when the main window is created (it is never cleared afterwards, only
    // replaced, which tests and the headless front end do between runs).
    void SetMainWindow(IMainWindow* pWindow) { m_pMainWindow = pWindow; }
    IMainWindow* GetMainWindow() const { return m_pMainWindow; }

    // Any thread; never blocks. Traces "Status: "<text>", Part = <pane>" and posts the text
    // to the status bar while the main window exists and is not closing.
    void SetStatusText(const std::wstring& strText, int nPane);
    // Any thread. String `nId` in pane 1.
    void SetStatusTextRes(UINT nId);

    // Any thread; returns when the text is appended.
    void AppendLog(std::wstring_view text, int nStyle);
    // Any thread. The bytes of a relayed block, every byte visible (a zero byte as U+2400);
    // the log makes their text where it costs the relay nothing.
    void AppendLogBlock(std::string_view bytes, int nStyle);
    // Any thread, module lock held (so that records keep the log's order). Hands a record
    // to the log sink; returns when it is stored.
    void LogRecord(const CLogRecord& record);
    // Any thread. A text in UTF-8, such as a marker line (made before the module lock is
    // taken).
    void AppendLogUtf8(std::string_view text, int nStyle);
    // Any thread. 8-bit text in the ANSI code page, appended with style 0.
    void AppendLogNarrow(std::string_view text);

    // Any thread but the GUI thread (which answers). The URL box's text and, when asked
    // for, the local and remote port fields (0 when empty).
    void GetConnectionSettings(std::wstring& strUrl, int* pnLocalPort, int* pnRemotePort);
    // Any thread but the GUI thread. The same three answers in one message
    // (UM_GET_CONNECTION), as a session asks them for every connection; a window that does
    // not know that message is asked the three questions.
    void GetConnectionSettingsAtOnce(std::wstring& strUrl, int& nLocalPort, int& nRemotePort);

    // Any thread. Posts the Listen command: lParam 1 for false, 0 for true.
    void ToggleListening(bool bFlag);
    // Any thread. Posts the Listen command with lParam LISTEN_STOP_ONLY: listening stops
    // when it is on and nothing happens when it is off, so that two such requests never
    // cancel each other out as two toggles would.
    void StopListening();
    // Any thread. Enables or disables a command everywhere it appears.
    void EnableCommand(UINT nId, bool bEnable);
    HANDLE GetMainMenu();
    void RefreshTitle();
    void ShowHelpTopic(const wchar_t* pszTopic);
    void CloseMainWindow();
    void NotifyBannerPane();
    void ShowContextMenu(HWND hwnd, int x, int y);

    // Any thread. The object is deleted on the GUI thread through its virtual destructor.
    template <class T>
    void DeleteClientLater(T* pClient) {
        PostDelete(UM_DELETE_CLIENT, pClient);
    }
    template <class T>
    void DeleteSessionLater(T* pSession) {
        PostDelete(UM_DELETE_SESSION, pSession);
    }

    // Any thread. The module lock: re-entrant, no time-out; the GUI thread never takes it
    // (its holders may wait for the GUI thread). In builds with TAPVANE_CHECK_GUI_LOCK a
    // Lock on the GUI thread aborts the program at once with a message on stderr.
    void Lock() {
#ifdef TAPVANE_CHECK_GUI_LOCK
        CheckNotGuiThread();
#endif
        m_lock.Lock();
    }
    void Unlock() {
        m_lock.Unlock();
    }

    // The GUI thread: the main window calls it with its own thread's id when its message
    // loop starts, and with an empty id when the loop has ended. Any thread may ask.
    void SetGuiThread(std::thread::id id) {
        m_guiThread = id;
    }
    std::thread::id GetGuiThread() const {
        return m_guiThread;
    }
    // Any thread. Whether the caller is the GUI thread (false while none is set).
    bool IsGuiThread() const {
        const std::thread::id id = m_guiThread;
        return id != std::thread::id() && id == std::this_thread::get_id();
    }

private:
    // Aborts with a message when the GUI thread asks for the module lock.
    void CheckNotGuiThread() const;

    template <class T>
    void PostDelete(UINT nMsg, T* p) {
        IMainWindow* pWindow = m_pMainWindow;
        if (pWindow != nullptr) {
            pWindow->PostMessage(nMsg, reinterpret_cast<WPARAM>(p), 0);
        }
    }

    CLockedText m_lock;
    std::atomic<IMainWindow*> m_pMainWindow{nullptr};
    std::atomic<std::thread::id> m_guiThread{};
};

extern CMyModule g_Module;

// Set when the main window handles its destruction; never reset (tests may reset it).
extern std::atomic<bool> mainWindowClosing;

// The id of the registered message "MyToolBarCtrlEnable".
UINT ToolBarCtrlEnableMessage();

// Holds the module lock for a scope, releasing it on every exit.
class CModuleLock {
public:
    CModuleLock() { g_Module.Lock(); }
    ~CModuleLock() { g_Module.Unlock(); }
    CModuleLock(const CModuleLock&) = delete;
    CModuleLock& operator=(const CModuleLock&) = delete;
};
