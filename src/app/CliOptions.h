// The command line of the headless front end.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/NetConditions.h"
#include "tls/TlsConfig.h"

struct CCliOptions {
    std::optional<int> nLocalPort;
    std::optional<std::wstring> strUrl;
    std::optional<int> nRemotePort;
    std::optional<std::string> strLogFile;
    std::optional<std::string> strPcapFile;
    std::optional<std::string> strHarFile;
    std::optional<bool> bReplaceHost;
    std::optional<bool> bSaveResponse;
    std::optional<std::wstring> strDataFolder;
    // --bind: "all", "local" or an address, as the "Listen Address" setting stores it.
    std::optional<std::wstring> strBind;
    // TLS, for this run only: --server-tls, --client-tls, --insecure, --tls-passthrough
    // (repeatable), --keylog; --export-ca writes the authority's certificate and exits.
    std::optional<tls::ServerTlsMode> serverTls;
    std::optional<tls::ClientTlsMode> clientTls;
    bool bInsecure = false;
    std::vector<std::string> tlsPassthrough;
    std::optional<std::string> strKeyLogFile;
    std::optional<std::string> strExportCa;
    // --replay FILE: the client side of every TCP session of a packet capture is sent to
    // the server instead of listening; --replay-timing quiet|recorded paces it,
    // --replay-quiet MS is how long an answer must be silent before the next block.
    std::optional<std::string> strReplayFile;
    bool bReplayRecorded = false;
    std::optional<int> nReplayQuietMs;
    // --latency, --bandwidth, --slice, --cut-after, --reset-share (each repeatable, per
    // direction with up: or down:), for this run only.
    CNetConditions netConditions;
    bool bHelp = false;
    bool bVersion = false;
    bool bVerbose = false;  // trace lines on the standard error too
};

// Reads the options; false with a message in `strError` for an unknown option, a missing
// value, a port outside 1 to 65535, an on/off value that is neither or a --bind value that
// is neither all, local nor an address.
bool ParseCliOptions(int argc, const char* const* argv, CCliOptions& options,
                     std::string& strError);

// The text of --help.
extern const char* const kCliUsage;
