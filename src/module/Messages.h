// The messages through which worker threads reach the main window.
#pragma once

#include <string>

#include "platform/WinTypes.h"

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_COMMAND = 0x0111;

constexpr UINT UM_SET_STATUS_TEXT = 0x0800;  // posted: StatusRecord* (ownership passes)
constexpr UINT UM_APPEND_LOG = 0x0801;       // sent: const CLogText*, style 0/1/2
constexpr UINT UM_GET_URL = 0x0802;          // sent: std::wstring* to assign
constexpr UINT UM_GET_LOCAL_PORT = 0x0803;   // sent: int* to fill
constexpr UINT UM_GET_REMOTE_PORT = 0x0804;  // sent: int* to fill
constexpr UINT UM_GET_MAIN_MENU = 0x0807;    // sent: menu handle to fill
constexpr UINT UM_REFRESH_TITLE = 0x0808;    // sent
constexpr UINT UM_SHOW_HELP = 0x0809;        // sent: const wchar_t* topic
constexpr UINT UM_NOTIFY_BANNER = 0x080B;    // posted
constexpr UINT UM_CONTEXT_MENU = 0x080D;     // sent: window, screen point
constexpr UINT UM_DELETE_CLIENT = 0x080E;    // posted: CSocketClient*
constexpr UINT UM_DELETE_SESSION = 0x080F;   // posted: CSocketAccept*
// sent: CConnectionQuery*, all three answers at once (one trip to the GUI thread instead of
// three); a window that knows it returns 1.
constexpr UINT UM_GET_CONNECTION = 0x0810;

constexpr UINT ID_TOOLS_LISTEN = 32775;
// lParam of the Listen command (WM_COMMAND ID_TOOLS_LISTEN) that stops listening when it
// is on and does nothing when it is off (0 and any other value toggle).
constexpr LPARAM LISTEN_STOP_ONLY = 2;

// Log styles: 0 keeps the current character format, 1 bold, 2 plain.
constexpr int LOG_STYLE_KEEP = 0;
constexpr int LOG_STYLE_BOLD = 1;
constexpr int LOG_STYLE_PLAIN = 2;

// Status panes: 0 the session count, 1 everything else.
constexpr int STATUS_PANE_SESSIONS = 0;
constexpr int STATUS_PANE_TEXT = 1;

// Payload of UM_GET_CONNECTION: what UM_GET_URL, UM_GET_LOCAL_PORT and UM_GET_REMOTE_PORT
// answer.
struct CConnectionQuery {
    std::wstring strUrl;
    int nLocalPort = 0;
    int nRemotePort = 0;
};

// Payload of UM_SET_STATUS_TEXT; the GUI thread deletes it.
struct StatusRecord {
    std::wstring strText;
    int nPane;
};

// The id of a registered window message: the same for the same name (case-insensitive),
// 0xC000 to 0xFFFF. Any thread.
UINT RegisterWindowMessageW(const wchar_t* pszName);
