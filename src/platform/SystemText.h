// Readable texts for the Win32 and Winsock status codes that the platform layer produces.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace win {

// The system's text for `dwCode`, ending with "\r\n" as system message texts do; an empty
// text for a code the system has no text for.
std::wstring GetSystemMessage(DWORD dwCode);

// Maps an errno value of a file or process call to the Win32 error code.
DWORD Win32ErrorFromErrno(int nErrno);

// Maps an errno value of a socket call to the Winsock error code.
int WsaErrorFromErrno(int nErrno);

}  // namespace win
