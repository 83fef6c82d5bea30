// TLS under a capture session. Once the session has connected to the server, and before
// either relay loop runs, SetUpSessionTls decides per side whether TLS is spoken: toward the
// server as the settings say; from the client in auto mode when its first bytes are a
// ClientHello (peeked, never taken from a plain stream), unless the server speaks first.
// Each TLS side's socket then goes on, under the same handle, with one end of a loopback
// pair, and a pump thread moves clear bytes between the pair and the TLS connection: the
// session relays, rewrites and logs clear bytes exactly as for plain traffic.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Winsock.h"
#include "tls/TlsEngine.h"

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

// Any thread. The TLS settings of this process from now on, in place of the stored ones
// (tapvane-cli's options); nothing: the stored settings again.
void SetTlsConfigOverride(std::optional<tls::CTlsConfig> config);

// Any thread. The TLS settings that apply now: the override, else the stored settings (with
// SSLKEYLOGFILE when no key log file is stored).
tls::CTlsConfig CurrentTlsConfig();

// Any thread. The engine for the current settings, made again when they change. Raises
// tls::CTlsError.
std::shared_ptr<tls::CTlsEngine> CurrentTlsEngine();

// Any thread. What TLS did in the session with the process-wide id `nSessionId` (the session
// list's TLS column): "TLS 1.3 h1", "passthrough", "failed: unknown CA"; empty for none.
std::string SessionTlsSummary(std::uint64_t nSessionId);
