#include "tls/TlsConfig.h"

#include <arpa/inet.h>
#include <fnmatch.h>

#include <algorithm>
#include <cctype>

namespace tls {

namespace {

std::string Lower(std::string_view text) {
    std::string strLower(text);
    std::transform(strLower.begin(), strLower.end(), strLower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return strLower;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::optional<ServerTlsMode> ParseServerTlsMode(std::string_view text) {
    if (text == "auto") {
        return ServerTlsMode::Auto;
    }
    if (text == "on") {
        return ServerTlsMode::On;
    }
    if (text == "off") {
        return ServerTlsMode::Off;
    }
    return std::nullopt;
}

std::optional<ClientTlsMode> ParseClientTlsMode(std::string_view text) {
    if (text == "auto") {
        return ClientTlsMode::Auto;
    }
    if (text == "off") {
        return ClientTlsMode::Off;
    }
    return std::nullopt;
}

bool ServerUsesTls(ServerTlsMode mode, std::string_view url) {
    if (mode != ServerTlsMode::Auto) {
        return mode == ServerTlsMode::On;
    }
    return Lower(Trim(url).substr(0, 8)) == "https://";
}

bool IsPassthroughHost(const std::vector<std::string>& patterns, const std::string& strHost) {
    const std::string strLower = Lower(strHost);
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& strPattern) {
        return fnmatch(Lower(strPattern).c_str(), strLower.c_str(), 0) == 0;
    });
}

std::vector<std::string> SplitPatterns(std::string_view text) {
    std::vector<std::string> patterns;
    while (!text.empty()) {
        const std::size_t nEnd = text.find_first_of("\r\n");
        const std::string_view line = Trim(text.substr(0, nEnd));
        if (!line.empty()) {
            patterns.emplace_back(line);
        }
        text.remove_prefix(nEnd == std::string_view::npos ? text.size() : nEnd + 1);
    }
    return patterns;
}

std::string UrlHost(std::string_view url) {
    url = Trim(url);
    if (const std::size_t nScheme = url.find("://"); nScheme != std::string_view::npos) {
        url.remove_prefix(nScheme + 3);
    }
    url = url.substr(0, url.find_first_of("/?#"));
    if (const std::size_t nAt = url.rfind('@'); nAt != std::string_view::npos) {
        url.remove_prefix(nAt + 1);
    }
    if (url.starts_with('[')) {
        const std::size_t nClose = url.find(']');
        return std::string(url.substr(1, nClose == std::string_view::npos ? url.npos : nClose - 1));
    }
    // One colon: a port; more: an IPv6 address without brackets.
    if (const std::size_t nColon = url.find(':');
        nColon != std::string_view::npos && url.find(':', nColon + 1) == std::string_view::npos) {
        url = url.substr(0, nColon);
    }
    return std::string(url);
}

bool IsIpLiteral(const std::string& strHost) {
    unsigned char addr[16];
    return inet_pton(AF_INET, strHost.c_str(), addr) == 1 ||
           inet_pton(AF_INET6, strHost.c_str(), addr) == 1;
}

}  // namespace tls
