// The message box used for errors and questions, behind a replaceable presenter: the GUI
// shows a real box on its thread while the caller waits; without a GUI the text goes to the
// standard error and the answer is the box's default button.
#pragma once

#include <functional>
#include <string>

#include "platform/WinTypes.h"

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr UINT MB_DEFBUTTON2 = 0x00000100;
constexpr UINT MB_DEFBUTTON3 = 0x00000200;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The owner that stands for the desktop window.
HWND GetDesktopWindow();

// The presenter: owner (never null), text, title, type flags -> the button pressed.
using MessageBoxFn = std::function<int(HWND, const std::wstring&, const std::wstring&, UINT)>;

// Installs the presenter and the source of the active window (null for the defaults).
// Call before other threads may show messages (program start, test set-up).
void SetMessageBoxPresenter(MessageBoxFn fn);
void SetActiveWindowSource(std::function<HWND()> fn);

// Any thread; blocks until the box is closed. The owner is `hwndOwner`, else the active
// window, else the desktop window. The title is empty.
int ShowMessage(const std::wstring& strText, UINT nType, HWND hwndOwner = nullptr);

// The button that a box of `nType` offers by default (its answer without a user).
int DefaultButton(UINT nType);
