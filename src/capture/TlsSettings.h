// The TLS settings that the sessions use, the engine made from them, and what TLS did in
// each session (for the session list).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tls/TlsEngine.h"

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

// Any thread. Records what TLS did in the session with the process-wide id `nSessionId`.
void SetSessionTlsSummary(std::uint64_t nSessionId, const std::string& strSummary);

// Any thread. Makes the next session build its engine anew (after the certificate authority
// has been replaced, say).
void ForgetTlsEngine();
