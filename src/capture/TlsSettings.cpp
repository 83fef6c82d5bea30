#include "capture/TlsSettings.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>

#include <openssl/ssl.h>

#include "capture/CachedSetting.h"
#include "platform/Kernel.h"
#include "platform/TextConv.h"
#include "settings/RegKeyTalvex.h"

namespace {

constexpr std::size_t kMaxSummaries = 4096;
constexpr auto kStoredRefresh = std::chrono::milliseconds(100);

// The settings as the store holds them now.
tls::CTlsConfig StoredTlsConfig();

// The process's TLS state. OpenSSL is started first, so that its clean-up at exit comes
// after this state (and the engine's contexts) are gone. A session's thread frees
// OpenSSL's state of that thread (its error queue) when the session ends: the thread
// waits idle in the pool afterwards, maybe past the clean-up at exit.
struct CTlsState {
    CTlsState() {
        OPENSSL_init_ssl(0, nullptr);
        win::AddThreadEndHook(&OPENSSL_thread_stop);
    }

    std::mutex configMutex;
    std::optional<tls::CTlsConfig> configOverride;
    std::shared_ptr<tls::CTlsEngine> engine;

    std::mutex summaryMutex;
    std::map<std::uint64_t, std::string> summaries;
};

CTlsState& State() {
    static CTlsState s_state;
    return s_state;
}

}  // namespace

void SetSessionTlsSummary(std::uint64_t nSessionId, const std::string& strSummary) {
    std::lock_guard lock(State().summaryMutex);
    if (State().summaries.size() >= kMaxSummaries) {
        State().summaries.erase(State().summaries.begin());  // the oldest session
    }
    State().summaries[nSessionId] = strSummary;
}

void SetTlsConfigOverride(std::optional<tls::CTlsConfig> config) {
    std::lock_guard lock(State().configMutex);
    State().configOverride = std::move(config);
}

tls::CTlsConfig CurrentTlsConfig() {
    {
        std::lock_guard lock(State().configMutex);
        if (State().configOverride) {
            return *State().configOverride;
        }
    }
    // The stored settings are kept (each read costs five store transactions, and a session
    // needs them as it starts), as the relay's HTTP flags are.
    static CCachedValue<tls::CTlsConfig> s_stored(&StoredTlsConfig, kStoredRefresh);
    return s_stored.Get();
}

namespace {

tls::CTlsConfig StoredTlsConfig() {
    tls::CTlsConfig config;
    CRegKeyTalvex regKey;
    const DWORD nServer = regKey.GetServerTls();
    config.serverTls = nServer == 1   ? tls::ServerTlsMode::On
                       : nServer == 2 ? tls::ServerTlsMode::Off
                                      : tls::ServerTlsMode::Auto;
    config.clientTls =
        regKey.GetClientTls() == 1 ? tls::ClientTlsMode::Off : tls::ClientTlsMode::Auto;
    config.bAcceptAnyServerCert = regKey.GetAcceptAnyServerCert();
    config.passthrough = tls::SplitPatterns(win::WideToAnsi(regKey.GetTlsPassthrough()));
    config.strKeyLogFile = win::WideToAnsi(regKey.GetKeyLogFile());
    if (config.strKeyLogFile.empty()) {
        if (const char* pszFile = std::getenv("SSLKEYLOGFILE")) {
            config.strKeyLogFile = pszFile;
        }
    }
    return config;
}

}  // namespace

std::shared_ptr<tls::CTlsEngine> CurrentTlsEngine() {
    tls::CTlsConfig config = CurrentTlsConfig();
    std::lock_guard lock(State().configMutex);
    if (!State().engine || !(State().engine->Config() == config)) {
        State().engine = std::make_shared<tls::CTlsEngine>(std::move(config));
    }
    return State().engine;
}

std::string SessionTlsSummary(std::uint64_t nSessionId) {
    std::lock_guard lock(State().summaryMutex);
    const auto found = State().summaries.find(nSessionId);
    return found != State().summaries.end() ? found->second : std::string();
}

void ForgetTlsEngine() {
    std::lock_guard lock(State().configMutex);
    State().engine.reset();
}
