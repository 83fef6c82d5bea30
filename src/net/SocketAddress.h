// A socket address of either family (IPv4 or IPv6) with its text forms.
//
// The text of an address is the usual one: dotted for IPv4, RFC 5952 for IPv6; with a port,
// "1.2.3.4:80" and "[::1]:80". An IPv4 address that reaches a dual-stack socket as an
// IPv4-mapped IPv6 address (::ffff:a.b.c.d) is shown, and compared, as the IPv4 address.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CSocketAddress {
public:
    CSocketAddress() = default;
    // Copies `nLength` bytes of `pAddr` (an AF_INET or AF_INET6 address).
    CSocketAddress(const sockaddr* pAddr, int nLength);
    explicit CSocketAddress(const sockaddr_in& addr);
    explicit CSocketAddress(const sockaddr_in6& addr);

    // The wildcard and the loopback address of a family (AF_INET or AF_INET6).
    static CSocketAddress Any(int nFamily, std::uint16_t nPort);
    static CSocketAddress Loopback(int nFamily, std::uint16_t nPort);
    // A numeric address: dotted IPv4, or IPv6 with or without brackets (a "%zone" allowed);
    // nothing for any other text, host names included.
    static std::optional<CSocketAddress> Parse(std::string_view strText, std::uint16_t nPort);

    int Family() const { return m_storage.ss_family; }
    bool IsValid() const { return Family() == AF_INET || Family() == AF_INET6; }
    std::uint16_t Port() const;
    void SetPort(std::uint16_t nPort);
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&m_storage); }
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&m_storage); }
    // The length of the address of its family (16 or 28); the whole storage while unset,
    // so that a call may fill it.
    int Length() const;
    static constexpr int kStorageLength = sizeof(sockaddr_storage);

    // An IPv4-mapped IPv6 address as the IPv4 address it stands for; else unchanged.
    CSocketAddress Unmapped() const;
    bool IsLoopback() const;
    bool IsAny() const;

    // "127.0.0.1", "::1" (an IPv4-mapped address as IPv4); empty for no address.
    std::wstring Text() const;
    // "127.0.0.1:80", "[::1]:80".
    std::wstring TextWithPort() const;

    bool operator==(const CSocketAddress& other) const;

private:
    sockaddr_storage m_storage{};
};

// Whether `strText` is an IPv6 address written without brackets ("::1", "fe80::1%eth0").
bool IsBareIpv6Literal(std::string_view strText);
