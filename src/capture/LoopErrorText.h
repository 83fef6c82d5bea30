// The first words of a session's error line when a relay loop fails: they name what
// failed (the event object, the wait, or the receive) and from which side.
#pragma once

#include <string>

// `strError`: the loop's error text (it names the call that failed); `bServer`: the loop
// on the connection to the server, else the one on the local client's connection.
std::wstring LoopErrorText(const std::wstring& strError, bool bServer);
