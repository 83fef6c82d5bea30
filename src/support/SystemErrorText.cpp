#include "support/SystemErrorText.h"

#include "platform/Kernel.h"
#include "platform/SystemText.h"

std::wstring GetSystemErrorText(DWORD dwCode) {
    return win::GetSystemMessage(dwCode);
}

std::wstring GetLastErrorText(DWORD* pdwCode) {
    const DWORD dwCode = win::GetLastError();
    if (pdwCode != nullptr) {
        *pdwCode = dwCode;
    }
    return GetSystemErrorText(dwCode);
}
