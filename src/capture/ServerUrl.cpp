#include "capture/ServerUrl.h"

#include <algorithm>

#include "platform/TextConv.h"

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// letter *( letter / digit / "+" / "-" / "." )
bool IsScheme(std::wstring_view text) {
    return !text.empty() && IsAsciiLetter(text.front()) &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) {
               return IsAsciiLetter(c) || IsDigit(c) || c == L'+' || c == L'-' || c == L'.';
           });
}

std::wstring LowerAscii(std::wstring_view text) {
    std::wstring lower(text);
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return lower;
}

bool Fail(std::wstring* pstrWhy, const wchar_t* pszWhy) {
    if (pstrWhy != nullptr) {
        *pstrWhy = pszWhy;
    }
    return false;
}

// Splits the authority into host and port; false (with the reason) when it cannot.
bool SplitAuthority(std::wstring_view authority, CServerUrl& server, std::wstring* pstrWhy) {
    if (const std::size_t nAt = authority.rfind(L'@'); nAt != std::wstring_view::npos) {
        authority.remove_prefix(nAt + 1);  // user information is not the host's
    }
    std::wstring_view host = authority;
    std::wstring_view port;
    if (authority.starts_with(L'[')) {
        const std::size_t nClose = authority.find(L']');
        if (nClose == std::wstring_view::npos) {
            return Fail(pstrWhy, L"The URL's IPv6 address lacks its closing \"]\"");
        }
        host = authority.substr(0, nClose + 1);
        const std::wstring_view rest = authority.substr(nClose + 1);
        if (!rest.empty() && rest.front() != L':') {
            return Fail(pstrWhy, L"Only a port may follow the URL's IPv6 address in brackets");
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (host.size() == 2) {
            host = {};
        }
    } else if (std::count(authority.begin(), authority.end(), L':') == 1) {
        const std::size_t nColon = authority.find(L':');
        host = authority.substr(0, nColon);
        port = authority.substr(nColon + 1);
    }
    // Else a name, an IPv4 address or an IPv6 address without brackets (two colons or more:
    // no port can be told from it).
    if (host.empty()) {
        return Fail(pstrWhy, L"The URL names no host: enter the server's host name or address");
    }
    if (std::any_of(host.begin(), host.end(), [](wchar_t c) { return c <= L' ' || c == 0x7F; })) {
        return Fail(pstrWhy, L"The URL's host holds a blank or a control character");
    }
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), IsDigit) ||
            std::stoi(std::wstring(port)) < 1 || std::stoi(std::wstring(port)) > 65535) {
            return Fail(pstrWhy, L"The port in the URL is not a number from 1 to 65535");
        }
        server.nPort = std::stoi(std::wstring(port));
    }
    server.strHost = host;
    return true;
}

}  // namespace

std::optional<CServerUrl> ParseServerUrl(std::wstring_view strText, std::wstring* pstrWhy) {
    while (!strText.empty() && IsBlank(strText.front())) {
        strText.remove_prefix(1);
    }
    while (!strText.empty() && IsBlank(strText.back())) {
        strText.remove_suffix(1);
    }
    if (strText.empty()) {
        Fail(pstrWhy,
             L"Enter the server in URL: a host name, an address or a URL such as "
             L"http://example.com");
        return std::nullopt;
    }
    CServerUrl server;
    if (const std::size_t nScheme = strText.find(L"://"); nScheme != std::wstring_view::npos) {
        if (!IsScheme(strText.substr(0, nScheme))) {
            Fail(pstrWhy, L"The URL names no host: enter the server's host name or address");
            return std::nullopt;
        }
        server.strScheme = LowerAscii(strText.substr(0, nScheme));
        strText.remove_prefix(nScheme + 3);
    }
    const std::wstring_view authority = strText.substr(0, strText.find_first_of(L"/?#"));
    if (!SplitAuthority(authority, server, pstrWhy)) {
        return std::nullopt;
    }
    return server;
}

int DefaultPortOfScheme(std::wstring_view strScheme) {
    const std::wstring scheme = LowerAscii(strScheme);
    if (scheme.empty() || scheme == L"http" || scheme == L"ws") {
        return 80;
    }
    if (scheme == L"https" || scheme == L"wss") {
        return 443;
    }
    if (scheme == L"ftp") {
        return 21;
    }
    return 0;
}

std::string HostHeaderValue(std::wstring_view strHost, int nPort, std::wstring_view strScheme) {
    std::string value = win::WideToAnsi(std::wstring(strHost));
    // A line break or a zero byte would end the header line early.
    std::erase_if(value, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    if (value.find(':') != std::string::npos && !value.starts_with('[')) {
        value = "[" + value + "]";  // an IPv6 address, as a host in HTTP must write it
    }
    if (nPort > 0 && nPort != DefaultPortOfScheme(strScheme)) {
        value += ":" + std::to_string(nPort);
    }
    return value;
}
