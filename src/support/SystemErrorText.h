// System error texts.
#pragma once

#include <string>

#include "platform/WinTypes.h"

// The system's text for `dwCode` unchanged (it usually ends with a line break), or an empty
// text when the system has none.
std::wstring GetSystemErrorText(DWORD dwCode);

// The text of the calling thread's last error; its code goes to `pdwCode` when given.
std::wstring GetLastErrorText(DWORD* pdwCode = nullptr);
