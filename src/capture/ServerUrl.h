// The server that the URL box (or --url) names, and how a request names it.
//
// The box takes a host name, an address or a URL pasted from a browser's address bar:
// "example.com", " 127.0.0.1 ", "::1", "[::1]:8080", "http://127.0.0.1/",
// "https://user@example.com:8443/some/path?q". Blanks around the text are dropped; a scheme
// (any case, before "://"), user information, a path, a query and a fragment are not part of
// the host. A port written in the text is reported; which port is connected to is the
// Remote Port's choice.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct CServerUrl {
    std::wstring strScheme;  // lower case; empty when none was typed
    std::wstring strHost;    // an IPv6 address keeps the brackets it was typed with
    int nPort = 0;           // the port written in the text; 0 when none
};

// The server of the text; nothing when it names no host ("", "ftp://", "http:///x") or its
// port is not a number from 1 to 65535. `pstrWhy` then receives the reason, for the user.
std::optional<CServerUrl> ParseServerUrl(std::wstring_view strText,
                                         std::wstring* pstrWhy = nullptr);

// The port that a URL of the scheme means when it names none: 80 for http, ws and for no
// scheme, 443 for https and wss, 21 for ftp; 0 for a scheme without a known default.
int DefaultPortOfScheme(std::wstring_view strScheme);

// The host and port as a Host header (and the authority of a URL) writes them: an IPv6
// address in brackets, ":port" only when the port is not the default of `strScheme`.
std::string HostHeaderValue(std::wstring_view strHost, int nPort, std::wstring_view strScheme);
