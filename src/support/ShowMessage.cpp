#include "support/ShowMessage.h"

#include <cstdio>
#include <mutex>

#include "platform/TextConv.h"

namespace {

struct CPresenter {
    std::mutex mutex;
    MessageBoxFn fnBox;              // guarded by mutex
    std::function<HWND()> fnActive;  // guarded by mutex
};

CPresenter& Presenter() {
    static CPresenter s_presenter;
    return s_presenter;
}

char g_desktop;  // its address identifies the desktop window

int HeadlessBox(HWND, const std::wstring& strText, const std::wstring&, UINT nType) {
    const std::string bytes = win::WideToAnsi(strText) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
    return DefaultButton(nType);
}

}  // namespace

HWND GetDesktopWindow() {
    return &g_desktop;
}

void SetMessageBoxPresenter(MessageBoxFn fn) {
    std::lock_guard lock(Presenter().mutex);
    Presenter().fnBox = std::move(fn);
}

void SetActiveWindowSource(std::function<HWND()> fn) {
    std::lock_guard lock(Presenter().mutex);
    Presenter().fnActive = std::move(fn);
}

int DefaultButton(UINT nType) {
    static constexpr int kButtons[][3] = {
        {IDOK, IDOK, IDOK},      {IDOK, IDCANCEL, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE},
        {IDYES, IDNO, IDCANCEL}, {IDYES, IDNO, IDNO},        {IDRETRY, IDCANCEL, IDCANCEL},
    };
    const UINT nButtons = nType & 0x0F;
    const UINT nDefault = (nType >> 8) & 0x0F;
    if (nButtons >= std::size(kButtons) || nDefault > 2) {
        return IDOK;
    }
    return kButtons[nButtons][nDefault];
}

int ShowMessage(const std::wstring& strText, UINT nType, HWND hwndOwner) {
    MessageBoxFn fnBox;
    std::function<HWND()> fnActive;
    {
        std::lock_guard lock(Presenter().mutex);
        fnBox = Presenter().fnBox;
        fnActive = Presenter().fnActive;
    }
    HWND hwnd = hwndOwner;
    if (hwnd == nullptr && fnActive) {
        hwnd = fnActive();
    }
    if (hwnd == nullptr) {
        hwnd = GetDesktopWindow();
    }
    return fnBox ? fnBox(hwnd, strText, std::wstring(), nType)
                 : HeadlessBox(hwnd, strText, {}, nType);
}
