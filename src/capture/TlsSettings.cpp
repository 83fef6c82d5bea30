#include "capture/TlsSettings.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/TextConv.h"
#include "settings/RegKeyTalvex.h"

namespace {

constexpr std::size_t kMaxSummaries = 4096;

std::mutex g_configMutex;
std::optional<tls::CTlsConfig> g_override;
std::shared_ptr<tls::CTlsEngine> g_engine;

std::mutex g_summaryMutex;
std::map<std::uint64_t, std::string> g_summaries;

}  // namespace

void SetSessionTlsSummary(std::uint64_t nSessionId, const std::string& strSummary) {
    std::lock_guard lock(g_summaryMutex);
    if (g_summaries.size() >= kMaxSummaries) {
        g_summaries.erase(g_summaries.begin());  // the oldest session
    }
    g_summaries[nSessionId] = strSummary;
}

void SetTlsConfigOverride(std::optional<tls::CTlsConfig> config) {
    std::lock_guard lock(g_configMutex);
    g_override = std::move(config);
}

tls::CTlsConfig CurrentTlsConfig() {
    {
        std::lock_guard lock(g_configMutex);
        if (g_override) {
            return *g_override;
        }
    }
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

std::shared_ptr<tls::CTlsEngine> CurrentTlsEngine() {
    tls::CTlsConfig config = CurrentTlsConfig();
    std::lock_guard lock(g_configMutex);
    if (!g_engine || !(g_engine->Config() == config)) {
        g_engine = std::make_shared<tls::CTlsEngine>(std::move(config));
    }
    return g_engine;
}

std::string SessionTlsSummary(std::uint64_t nSessionId) {
    std::lock_guard lock(g_summaryMutex);
    const auto found = g_summaries.find(nSessionId);
    return found != g_summaries.end() ? found->second : std::string();
}
