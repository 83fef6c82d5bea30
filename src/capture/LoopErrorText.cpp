#include "capture/LoopErrorText.h"

std::wstring LoopErrorText(const std::wstring& strError, bool bServer) {
    const std::wstring strSide = bServer ? L"the server" : L"the local client";
    std::wstring strWhat;
    if (strError.find(L"WSACreateEvent") != std::wstring::npos ||
        strError.find(L"WSAEventSelect") != std::wstring::npos) {
        strWhat = L"No event object for the relay from " + strSide + L"! ";
    } else if (strError.find(L"WSAWaitForMultipleEvents") != std::wstring::npos ||
               strError.find(L"WSAEnumNetworkEvents") != std::wstring::npos) {
        strWhat = L"Waiting for " + strSide + L" failed! ";
    } else {
        strWhat = L"Receive from " + strSide + L" failed! ";
    }
    return strWhat + strError;
}
