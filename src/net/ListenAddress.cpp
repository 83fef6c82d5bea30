#include "net/ListenAddress.h"

#include <cwctype>

#include "platform/TextConv.h"

namespace {

bool EqualsWordNoCase(std::wstring_view text, std::wstring_view word) {
    if (text.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(text[i])) != static_cast<wint_t>(word[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

CListenAddress CListenAddress::Local() {
    CListenAddress a;
    a.m_kind = Kind::Local;
    return a;
}

std::optional<CListenAddress> CListenAddress::Parse(std::wstring_view strText) {
    while (!strText.empty() && std::iswspace(static_cast<wint_t>(strText.front()))) {
        strText.remove_prefix(1);
    }
    while (!strText.empty() && std::iswspace(static_cast<wint_t>(strText.back()))) {
        strText.remove_suffix(1);
    }
    if (strText.empty() || EqualsWordNoCase(strText, L"all")) {
        return All();
    }
    if (EqualsWordNoCase(strText, L"local")) {
        return Local();
    }
    const std::optional<CSocketAddress> addr =
        CSocketAddress::Parse(win::WideToAnsi(std::wstring(strText)), 0);
    if (!addr) {
        return std::nullopt;
    }
    if (addr->IsAny()) {
        return All();  // "0.0.0.0" and "::" name every interface
    }
    CListenAddress a;
    a.m_kind = Kind::Address;
    a.m_address = *addr;
    return a;
}

std::wstring CListenAddress::ToText() const {
    switch (m_kind) {
        case Kind::All:
            return L"all";
        case Kind::Local:
            return L"local";
        case Kind::Address:
            break;
    }
    return m_address.Text();
}

std::vector<CSocketAddress> CListenAddress::BindAddresses(std::uint16_t nPort, bool bIpv6) const {
    switch (m_kind) {
        case Kind::All:
            return {CSocketAddress::Any(bIpv6 ? AF_INET6 : AF_INET, nPort)};
        case Kind::Local:
            if (bIpv6) {
                return {CSocketAddress::Loopback(AF_INET6, nPort),
                        CSocketAddress::Loopback(AF_INET, nPort)};
            }
            return {CSocketAddress::Loopback(AF_INET, nPort)};
        case Kind::Address:
            break;
    }
    CSocketAddress addr = m_address;
    addr.SetPort(nPort);
    return {addr};
}

std::wstring CListenAddress::Describe(const std::vector<CSocketAddress>& bound) const {
    const std::wstring strPort =
        bound.empty() ? std::wstring(L"0") : std::to_wstring(bound.front().Port());
    std::wstring strAddrs;
    for (auto it = bound.rbegin(); it != bound.rend(); ++it) {  // IPv4 first reads best
        strAddrs += (strAddrs.empty() ? L"" : L" and ") + it->Text();
    }
    switch (m_kind) {
        case Kind::All: {
            const bool bBoth = !bound.empty() && bound.front().Family() == AF_INET6;
            return L"Listening on all interfaces, port " + strPort +
                   (bBoth ? L" (IPv4 and IPv6)" : L" (IPv4 only: IPv6 is off on this machine)");
        }
        case Kind::Local:
            return L"Listening on this machine only (" + strAddrs + L"), port " + strPort;
        case Kind::Address:
            break;
    }
    return L"Listening on " + strAddrs + L" only, port " + strPort;
}
