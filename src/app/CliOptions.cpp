#include "app/CliOptions.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>

#include "capture/NetConditionsParser.h"
#include "capture/ServerUrl.h"
#include "net/ListenAddress.h"
#include "platform/TextConv.h"

const char* const kCliUsage =
    "Usage: tapvane-cli [OPTION]...\n"
    "Relays every TCP connection made to a local port to one server and writes everything\n"
    "that passes to the traffic log.\n"
    "\n"
    "  --local-port N          listen on port N (of every local interface unless --bind\n"
    "                          says otherwise)\n"
    "  --url HOST              the server: a host name, a dotted address, an IPv6 address\n"
    "                          or a URL such as http://example.com:8080/page (only its\n"
    "                          host is used; its port, if any, is the default of\n"
    "                          --remote-port)\n"
    "  --remote-port N         the server's port\n"
    "  --log FILE              also write the traffic log to FILE, as plain text\n"
    "  --pcap FILE             also write every session to FILE as a pcapng packet\n"
    "                          capture, packet by packet as they pass\n"
    "  --har FILE              also write the HTTP requests and responses of every\n"
    "                          session to FILE as an HTTP Archive (HAR 1.2), complete\n"
    "                          when the run stops (also on Ctrl-C)\n"
    "  --replace-host on|off   store \"Replace host header\" for this user first\n"
    "  --save-response on|off  store \"Save Response\" for this user first\n"
    "  --data-folder DIR       store the folder that receives saved responses first\n"
    "  --bind all|local|ADDRESS\n"
    "                          store \"Listen Address\" for this user first: who may\n"
    "                          connect. all: every interface, IPv4 and IPv6 (the default);\n"
    "                          local: this machine only (127.0.0.1 and ::1); ADDRESS: one\n"
    "                          address of this machine, such as 192.168.1.5 or ::1\n"
    "  --server-tls auto|on|off\n"
    "                          speak TLS to the server (auto: when the URL begins with\n"
    "                          https://), verifying its certificate and name\n"
    "  --client-tls auto|off   auto: answer a client that starts with a TLS ClientHello\n"
    "                          with TLS, under a certificate of Tapvane's own authority\n"
    "  --insecure              accept any server certificate (with a warning per session)\n"
    "  --tls-passthrough PATTERN\n"
    "                          do not decrypt clients that ask for a host matching\n"
    "                          PATTERN (* and ? as wildcards); repeatable\n"
    "  --keylog FILE           append the TLS secrets to FILE, in the key log format\n"
    "                          (default: $SSLKEYLOGFILE)\n"
    "  --export-ca FILE        write the certificate of Tapvane's authority to FILE (PEM),\n"
    "                          making the authority first if there is none, then exit\n"
    "  --replay FILE           instead of listening, send the client side of every TCP\n"
    "                          session of the packet capture FILE (pcapng or pcap, ours\n"
    "                          or any other tool's) to the server, one session after the\n"
    "                          other, and log them as relayed sessions; then exit\n"
    "  --replay-timing quiet|recorded\n"
    "                          quiet (the default): each block once the answer to the\n"
    "                          one before has gone quiet; recorded: at the captured\n"
    "                          times\n"
    "  --replay-quiet MS       how long an answer must be silent (default 300)\n"
    "  --latency [up:|down:]MS[:JITTER]\n"
    "                          delay every block by MS milliseconds, plus or minus up to\n"
    "                          JITTER\n"
    "  --bandwidth [up:|down:]KBPS\n"
    "                          relay at most KBPS kilobytes (1000 bytes) a second\n"
    "  --slice [up:|down:]BYTES[:DELAY_MS]\n"
    "                          send blocks on in pieces of BYTES bytes, DELAY_MS apart\n"
    "  --cut-after [up:|down:]BYTES[:close|:reset]\n"
    "                          end the session once BYTES bytes went that way, by a close\n"
    "                          (the default) or a reset of both connections\n"
    "  --reset-share [up:|down:]PERCENT\n"
    "                          reset PERCENT of the new connections at once (down: the\n"
    "                          client is reset before the server is contacted; up: the\n"
    "                          server's connection is opened, then both are reset)\n"
    "                          Network conditions act both ways unless the value begins\n"
    "                          with up: (client to server) or down: (server to client);\n"
    "                          a later one overrides an earlier one for the directions\n"
    "                          it names. Off by default.\n"
    "  -v, --verbose           also write the trace lines to the standard error\n"
    "  --version               show the version and the build, then exit\n"
    "  -h, --help              show this help, then exit\n"
    "\n"
    "Without --local-port, --url or --remote-port the stored default server entry supplies\n"
    "what is missing (its remote port is its local port when none is stored).\n"
    "When neither --url nor the stored entry names a host, the program says so and exits\n"
    "with status 2. Every option that takes a value may also be written with \"=\", as in\n"
    "--url=example.com.\n"
    "\n"
    "The traffic log goes to the standard output (marker and session lines in bold on a\n"
    "terminal); status lines and error messages go to the standard error. Ctrl-C (SIGINT)\n"
    "or SIGTERM stops listening and the open sessions, and exits once they have ended; a\n"
    "second one ends the program at once, with the log written up to the last block.\n"
    "\n"
    "The server may be a name, an IPv4 address or an IPv6 address (::1 or [::1]); a name is\n"
    "tried on all its addresses, IPv6 and IPv4.\n"
    "\n"
    "Exit status:\n"
    "  0    stopped by Ctrl-C or SIGTERM\n"
    "  1    listening could not start (the port is in use, for example)\n"
    "  2    bad options, or the log file cannot be created\n"
    "  3    the log is incomplete: the log file or the standard output could not be\n"
    "       written in full (a full disk, for example)\n"
    "  4    with --replay: a session did not complete (refused, reset, or not every\n"
    "       block sent); with --replay, 0 means that every session completed, 2 that\n"
    "       the capture cannot be read and 130 a stop by Ctrl-C\n"
    "  130  ended by a second Ctrl-C or SIGTERM, the log complete up to then\n"

    "\n"
    "TAPVANE_DEBUG_OUTPUT=stderr (or a file name) also sends the debugger output there.\n"
    "Settings: $XDG_CONFIG_HOME/Velmor/Tapvane/registry.db. Manual: man tapvane-cli\n";

namespace {

bool ParsePort(const char* pszText, int& nPort) {
    const char* pszEnd = pszText + std::strlen(pszText);
    int n = 0;
    const auto [ptr, ec] = std::from_chars(pszText, pszEnd, n);
    if (ec != std::errc() || ptr != pszEnd || n < 1 || n > 65535) {
        return false;
    }
    nPort = n;
    return true;
}

// The options that take a value ("--name VALUE" or "--name=VALUE"), to tell a missing value
// from an unknown option at the end of the command line.
constexpr std::string_view kValueOptions[] = {
    "--local-port",    "--url",          "--remote-port",   "--log",
    "--pcap",          "--replace-host", "--save-response", "--data-folder",
    "--bind",          "--server-tls",   "--client-tls",    "--tls-passthrough",
    "--keylog",        "--export-ca",    "--har",           "--replay",
    "--replay-timing", "--replay-quiet", "--latency",       "--bandwidth",
    "--slice",         "--cut-after",    "--reset-share",
};

bool TakesValue(std::string_view option) {
    return std::find(std::begin(kValueOptions), std::end(kValueOptions), option) !=
           std::end(kValueOptions);
}

bool ParseOnOff(const char* pszText, bool& bValue) {
    if (std::strcmp(pszText, "on") == 0) {
        bValue = true;
        return true;
    }
    if (std::strcmp(pszText, "off") == 0) {
        bValue = false;
        return true;
    }
    return false;
}

}  // namespace

bool ParseCliOptions(int argc, const char* const* argv, CCliOptions& options,
                     std::string& strError) {
    for (int i = 1; i < argc; ++i) {
        std::string strOption = argv[i];
        // "--name=value" is "--name value".
        std::optional<std::string> inlineValue;
        if (const std::size_t nEquals = strOption.find('=');
            strOption.starts_with("--") && nEquals != std::string::npos) {
            inlineValue = strOption.substr(nEquals + 1);
            strOption.resize(nEquals);
        }
        if (!inlineValue && (strOption == "--help" || strOption == "-h")) {
            options.bHelp = true;
            continue;
        }
        if (!inlineValue && strOption == "--version") {
            options.bVersion = true;
            continue;
        }
        if (!inlineValue && (strOption == "--verbose" || strOption == "-v")) {
            options.bVerbose = true;
            continue;
        }
        if (!inlineValue && strOption == "--insecure") {
            options.bInsecure = true;
            continue;
        }
        if (inlineValue && (strOption == "--help" || strOption == "--version" ||
                            strOption == "--verbose" || strOption == "--insecure")) {
            strError = "option " + strOption + " takes no value";
            return false;
        }
        if (!inlineValue && i + 1 >= argc) {
            strError = TakesValue(strOption) ? "option " + strOption + " needs a value"
                                             : "unknown option " + strOption;
            return false;
        }
        const std::string strValue = inlineValue ? *inlineValue : argv[++i];
        const char* pszValue = strValue.c_str();
        int nPort = 0;
        bool bValue = false;
        if (strOption == "--local-port" || strOption == "--remote-port") {
            if (!ParsePort(pszValue, nPort)) {
                strError = "bad port for " + strOption + ": \"" + pszValue +
                           "\" (a number from 1 to 65535)";
                return false;
            }
            (strOption == "--local-port" ? options.nLocalPort : options.nRemotePort) = nPort;
        } else if (strOption == "--url") {
            std::wstring strWhy;
            if (!ParseServerUrl(win::AnsiToWide(pszValue), &strWhy)) {
                strError = "--url \"" + strValue + "\": " + win::WideToAnsi(strWhy);
                return false;
            }
            options.strUrl = win::AnsiToWide(pszValue);
        } else if (strOption == "--log") {
            options.strLogFile = pszValue;
        } else if (strOption == "--replace-host" || strOption == "--save-response") {
            if (!ParseOnOff(pszValue, bValue)) {
                strError = strOption + " takes on or off, not \"" + pszValue + "\"";
                return false;
            }
            (strOption == "--replace-host" ? options.bReplaceHost : options.bSaveResponse) = bValue;
        } else if (strOption == "--bind") {
            const std::optional<CListenAddress> where =
                CListenAddress::Parse(win::AnsiToWide(pszValue));
            if (!where || *pszValue == '\0') {
                strError =
                    std::string("--bind takes all, local or an address, not \"") + pszValue + "\"";
                return false;
            }
            options.strBind = where->ToText();
        } else if (strOption == "--pcap") {
            options.strPcapFile = pszValue;
        } else if (strOption == "--har") {
            options.strHarFile = pszValue;
        } else if (strOption == "--server-tls" || strOption == "--client-tls") {
            const bool bServer = strOption == "--server-tls";
            if (bServer ? !(options.serverTls = tls::ParseServerTlsMode(pszValue))
                        : !(options.clientTls = tls::ParseClientTlsMode(pszValue))) {
                strError = strOption + (bServer ? " takes auto, on or off" : " takes auto or off") +
                           ", not \"" + pszValue + "\"";
                return false;
            }
        } else if (strOption == "--tls-passthrough") {
            options.tlsPassthrough.emplace_back(pszValue);
        } else if (strOption == "--keylog" || strOption == "--export-ca") {
            (strOption == "--keylog" ? options.strKeyLogFile : options.strExportCa) = pszValue;
        } else if (strOption == "--replay") {
            options.strReplayFile = pszValue;
        } else if (strOption == "--replay-timing") {
            if (strValue != "quiet" && strValue != "recorded") {
                strError = "--replay-timing takes quiet or recorded, not \"" + strValue + "\"";
                return false;
            }
            options.bReplayRecorded = strValue == "recorded";
        } else if (strOption == "--replay-quiet") {
            int nMs = 0;
            const char* pszEnd = pszValue + strValue.size();
            const auto [ptr, ec] = std::from_chars(pszValue, pszEnd, nMs);
            if (ec != std::errc() || ptr != pszEnd || nMs < 1 || nMs > 600000) {
                strError = "bad time for --replay-quiet: \"" + strValue +
                           "\" (milliseconds from 1 to 600000)";
                return false;
            }
            options.nReplayQuietMs = nMs;
        } else if (IsNetConditionOption(std::string_view(strOption).substr(2))) {
            if (!ApplyNetConditionOption(std::string_view(strOption).substr(2), strValue,
                                         options.netConditions, &strError)) {
                return false;
            }
        } else if (strOption == "--data-folder") {
            options.strDataFolder = win::AnsiToWide(pszValue);
        } else {
            strError = "unknown option " + strOption;
            return false;
        }
    }
    return true;
}
