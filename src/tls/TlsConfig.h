// What the TLS settings say for one session: whether the server speaks TLS, whether TLS from
// clients is decrypted, which client hosts are passed through, and where the key log goes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tls {

enum class ServerTlsMode { Auto, On, Off };  // Auto: on for an https:// URL
enum class ClientTlsMode { Auto, Off };      // Auto: a ClientHello is answered with TLS

struct CTlsConfig {
    ServerTlsMode serverTls = ServerTlsMode::Auto;
    ClientTlsMode clientTls = ClientTlsMode::Auto;
    bool bAcceptAnyServerCert = false;
    std::vector<std::string> passthrough;  // host patterns, * and ? as wildcards
    std::string strKeyLogFile;             // empty: no key log
    std::string strCaFolder;               // empty: CCertAuthority::DefaultFolder()

    bool operator==(const CTlsConfig&) const = default;
};

// "auto", "on", "off" (and "auto", "off" for the clients); nothing for any other text.
std::optional<ServerTlsMode> ParseServerTlsMode(std::string_view text);
std::optional<ClientTlsMode> ParseClientTlsMode(std::string_view text);

// Whether the server is spoken to in TLS: Auto means the URL begins with "https://" in any
// case.
bool ServerUsesTls(ServerTlsMode mode, std::string_view url);

// Whether `strHost` matches one of the patterns (case-insensitive; "*.example.org").
bool IsPassthroughHost(const std::vector<std::string>& patterns, const std::string& strHost);

// The patterns of a stored list: one a line, blank lines and surrounding spaces dropped.
std::vector<std::string> SplitPatterns(std::string_view text);

// The host of a URL or host text: scheme, user, port and path dropped, IPv6 brackets
// removed ("https://[::1]:8443/x" gives "::1").
std::string UrlHost(std::string_view url);

// Whether `strHost` is an IPv4 or IPv6 address.
bool IsIpLiteral(const std::string& strHost);

}  // namespace tls
