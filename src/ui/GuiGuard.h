// The exception guard of every slot and event handler: nothing that a handler throws may
// escape into the Qt event loop. The text goes into a message box behind the handler's
// prefix, the handler returns normally and the window stays usable.
#pragma once

#include <string>

#include "support/Exception.h"
#include "support/FileException.h"
#include "support/ShowMessage.h"

// The prefixes of the window parts.
inline constexpr const wchar_t* kMainFrameFailed = L"ERROR: CMainFrame failed! ";
inline constexpr const wchar_t* kViewFailed = L"ERROR: CTapvaneView failed! ";
inline constexpr const wchar_t* kFieldsFailed = L"ERROR: CDlgTalvex failed! ";
inline constexpr const wchar_t* kListenBarFailed = L"ERROR: CToolBarCtrlListen failed! ";

// Call only inside a catch handler: the text of the exception being handled. A file
// exception gives its message, the rest as TakeCaughtText does (`pszUnknown` for an
// exception of another kind); the exception object is deleted.
inline std::wstring TakeCaughtGuiText(const wchar_t* pszUnknown) {
    try {
        throw;
    } catch (CFileException* e) {
        std::wstring strText = e->GetErrorMessage(255);
        delete e;
        return strText;
    } catch (...) {
        return TakeCaughtText(pszUnknown);
    }
}

// GUI thread. Runs `fn`; any exception becomes a box with `pszPrefix` and the exception's
// text (or "Unhandled exception!"), with `nIcon`, owned by `hwndOwner` (null: the active
// window). Returns whether `fn` ran to its end.
template <class F>
bool GuiGuard(const wchar_t* pszPrefix, UINT nIcon, HWND hwndOwner, F&& fn) {
    try {
        fn();
        return true;
    } catch (...) {
        const std::wstring strText = pszPrefix + TakeCaughtGuiText(L"Unhandled exception!");
        try {
            ShowMessage(strText, nIcon, hwndOwner);
        } catch (...) {
            // A failing box must not take the event loop down either.
        }
        return false;
    }
}
