#include "app/CliOptions.h"

#include <charconv>
#include <cstring>

#include "net/ListenAddress.h"
#include "platform/TextConv.h"

const char* const kCliUsage =
    "Usage: tapvane-cli [options]\n"
    "\n"
    "Listens on a local port and relays every connection made to it to one server, writing\n"
    "everything that passes to the traffic log.\n"
    "\n"
    "  --local-port N        the local port to listen on\n"
    "  --url HOST            the server: a host name, a dotted address or a URL such as\n"
    "                        http://example.com (the scheme is dropped)\n"
    "  --remote-port N       the server's port\n"
    "  --log FILE            also write the traffic log to FILE as plain text\n"
    "  --replace-host on|off store \"Replace host header\" for this user first\n"
    "  --save-response on|off\n"
    "                        store \"Save Response\" for this user first\n"
    "  --data-folder DIR     store the folder that receives saved responses\n"
    "  --bind all|local|ADDRESS\n"
    "                        store \"Listen Address\" for this user first: who may connect.\n"
    "                        all: every interface, IPv4 and IPv6 (the default); local: this\n"
    "                        machine only (127.0.0.1 and ::1); ADDRESS: one address of this\n"
    "                        machine, such as 192.168.1.5 or ::1\n"
    "  --version             show the version, the build and the program's path, as the\n"
    "                        About box of the window shows them\n"
    "  --help                show this text\n"
    "\n"
    "Without --local-port, --url or --remote-port the stored default server entry supplies\n"
    "what is missing (its remote port is its local port when none is stored).\n"
    "\n"
    "The traffic log goes to the standard output (marker and session lines in bold on a\n"
    "terminal); status and trace lines go to the standard error. Ctrl-C (SIGINT) or SIGTERM\n"
    "stops listening, asks the open sessions to stop and exits once they have ended.\n"
    "\n"
    "The server may be a name, an IPv4 address or an IPv6 address (::1 or [::1]); a name is\n"
    "tried on all its addresses, IPv6 and IPv4.\n"
    "\n"
    "Exit status: 0 after a stop, 1 when listening cannot start, 2 for bad options.\n";

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
        const std::string strOption = argv[i];
        if (strOption == "--help" || strOption == "-h") {
            options.bHelp = true;
            continue;
        }
        if (strOption == "--version") {
            options.bVersion = true;
            continue;
        }
        if (i + 1 >= argc) {
            strError = strOption.rfind("--", 0) == 0 && strOption.size() > 2
                           ? "option " + strOption + " needs a value"
                           : "unknown option: " + strOption;
            return false;
        }
        const char* pszValue = argv[++i];
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
            if (*pszValue == '\0') {
                strError = "--url needs a host";
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
        } else if (strOption == "--data-folder") {
            options.strDataFolder = win::AnsiToWide(pszValue);
        } else {
            strError = "unknown option: " + strOption;
            return false;
        }
    }
    return true;
}
