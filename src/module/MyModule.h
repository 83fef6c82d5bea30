// The one process-wide object through which the network side reaches the user interface.
// Every operation is one message to the main window, sent (the caller waits) or posted.
// It also owns the module lock, which keeps whole blocks of log output together.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

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
    // Any thread. The bytes of a relayed block, every byte visible (a zero byte as U+2400).
    void AppendLogBlock(std::string_view bytes, int nStyle);
    // Any thread. 8-bit text in the ANSI code page, appended with style 0.
    void AppendLogNarrow(std::string_view text);

    // Any thread but the GUI thread (which answers). The URL box's text and, when asked
    // for, the local and remote port fields (0 when empty).
    void GetConnectionSettings(std::wstring& strUrl, int* pnLocalPort, int* pnRemotePort);

    // Any thread. Posts the Listen command: lParam 1 for false, 0 for true.
    void ToggleListening(bool bFlag);
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

    // Any thread. The module lock: re-entrant, no time-out; the GUI thread never takes it.
    void Lock() { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }

private:
    template <class T>
    void PostDelete(UINT nMsg, T* p) {
        IMainWindow* pWindow = m_pMainWindow;
        if (pWindow != nullptr) {
            pWindow->PostMessage(nMsg, reinterpret_cast<WPARAM>(p), 0);
        }
    }

    CLockedText m_lock;
    std::atomic<IMainWindow*> m_pMainWindow{nullptr};
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
