// Who may connect to the relay: the addresses that the listener binds.
//
//     all     every interface, both families (one dual-stack socket on "::"; IPv4 alone
//             where IPv6 is off), the default
//     local   this machine only: the loopback addresses of both families (::1, 127.0.0.1)
//     ADDRESS one address of this machine, IPv4 or IPv6 (brackets allowed)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketAddress.h"

class CListenAddress {
public:
    enum class Kind { All, Local, Address };

    CListenAddress() = default;
    static CListenAddress All() { return CListenAddress(); }
    static CListenAddress Local();

    // "all" (or an empty text), "local", or a numeric address; nothing for anything else.
    // Case does not matter for the two words.
    static std::optional<CListenAddress> Parse(std::wstring_view strText);
    // The setting's text: "all", "local" or the address.
    std::wstring ToText() const;

    Kind GetKind() const { return m_kind; }
    const CSocketAddress& GetAddress() const { return m_address; }

    // The addresses to bind on `nPort`, in order, for a machine with or without IPv6: for
    // "all" the dual-stack wildcard "::" (or 0.0.0.0), for "local" ::1 and 127.0.0.1 (or
    // 127.0.0.1), else the one address.
    std::vector<CSocketAddress> BindAddresses(std::uint16_t nPort, bool bIpv6) const;

    // The line shown after "Start listening" for the sockets that were bound:
    // "Listening on all interfaces, port 18802 (IPv4 and IPv6)",
    // "Listening on this machine only (127.0.0.1 and ::1), port 18802",
    // "Listening on 192.0.2.7 only, port 18802".
    std::wstring Describe(const std::vector<CSocketAddress>& bound) const;

    bool operator==(const CListenAddress&) const = default;

private:
    Kind m_kind = Kind::All;
    CSocketAddress m_address;  // Kind::Address
};
