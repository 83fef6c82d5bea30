// TLS under a capture session. Once the session has connected to the server, and before
// either relay loop runs, SetUpSessionTls decides per side whether TLS is spoken: toward the
// server as the settings say; from the client in auto mode when its first bytes are a
// ClientHello (peeked, never taken from a plain stream), unless the server speaks first.
// Each TLS side's handle then gets a TLS filter in the socket layer, through which the
// relay threads' own receives and sends pass: the session relays, rewrites and logs clear
// bytes exactly as for plain traffic, with no thread or connection of TLS's own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/TlsSettings.h"
#include "platform/Winsock.h"

class CSessionLink;

// Raised by SetUpSessionTls when the session must end before relaying; the reason is in the
// log already. `bReset`: the local client is to be reset (not when it was sent an alert).
struct CTlsSessionEnd {
    bool bReset = true;
};

// Session thread, after connecting, before the client's loop starts. `strUrl` is the URL box's
// text. Returns when relaying may begin; raises CTlsSessionEnd otherwise (also when
// `isStopped` becomes true while waiting).
void SetUpSessionTls(CSessionLink& link, win::SOCKET hLocal, win::SOCKET hServer,
                     const std::wstring& strUrl, const std::function<bool()>& isStopped);
