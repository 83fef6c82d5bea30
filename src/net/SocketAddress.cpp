#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>

#include "platform/TextConv.h"

namespace {

bool IsMapped(const sockaddr_in6& addr) {
    return IN6_IS_ADDR_V4MAPPED(&addr.sin6_addr);
}

}  // namespace

CSocketAddress::CSocketAddress(const sockaddr* pAddr, int nLength) {
    if (pAddr != nullptr && nLength > 0) {
        std::memcpy(&m_storage, pAddr,
                    std::min<std::size_t>(static_cast<std::size_t>(nLength), sizeof(m_storage)));
    }
}

CSocketAddress::CSocketAddress(const sockaddr_in& addr)
    : CSocketAddress(reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) {}

CSocketAddress::CSocketAddress(const sockaddr_in6& addr)
    : CSocketAddress(reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) {}

CSocketAddress CSocketAddress::Any(int nFamily, std::uint16_t nPort) {
    CSocketAddress a;
    if (nFamily == AF_INET6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_any;
        a = CSocketAddress(in6);
    } else {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_ANY);
        a = CSocketAddress(in);
    }
    a.SetPort(nPort);
    return a;
}

CSocketAddress CSocketAddress::Loopback(int nFamily, std::uint16_t nPort) {
    CSocketAddress a;
    if (nFamily == AF_INET6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        a = CSocketAddress(in6);
    } else {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a = CSocketAddress(in);
    }
    a.SetPort(nPort);
    return a;
}

std::optional<CSocketAddress> CSocketAddress::Parse(std::string_view strText, std::uint16_t nPort) {
    if (strText.size() >= 2 && strText.front() == '[' && strText.back() == ']') {
        strText = strText.substr(1, strText.size() - 2);
        if (strText.find(':') == std::string_view::npos) {
            return std::nullopt;  // brackets hold IPv6 only
        }
    }
    std::string strAddr(strText);
    if (strAddr.empty() || strAddr.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    sockaddr_in in{};
    // Strictly four dotted decimals: inet_aton's short and octal forms are left to the
    // resolver, as they were.
    if (::inet_pton(AF_INET, strAddr.c_str(), &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(nPort);
        return CSocketAddress(in);
    }
    sockaddr_in6 in6{};
    const std::size_t nZone = strAddr.find('%');
    if (nZone != std::string::npos) {
        const std::string strZone = strAddr.substr(nZone + 1);
        strAddr.resize(nZone);
        unsigned int nIndex = ::if_nametoindex(strZone.c_str());
        if (nIndex == 0 && !strZone.empty() &&
            strZone.find_first_not_of("0123456789") == std::string::npos && strZone.size() < 10) {
            nIndex = static_cast<unsigned int>(std::stoul(strZone));
        }
        if (nIndex == 0) {
            return std::nullopt;
        }
        in6.sin6_scope_id = nIndex;
    }
    if (::inet_pton(AF_INET6, strAddr.c_str(), &in6.sin6_addr) != 1) {
        return std::nullopt;
    }
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(nPort);
    return CSocketAddress(in6);
}

std::uint16_t CSocketAddress::Port() const {
    if (Family() == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_port);
    }
    if (Family() == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_port);
    }
    return 0;
}

void CSocketAddress::SetPort(std::uint16_t nPort) {
    if (Family() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&m_storage)->sin_port = htons(nPort);
    } else if (Family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&m_storage)->sin6_port = htons(nPort);
    }
}

int CSocketAddress::Length() const {
    if (Family() == AF_INET) {
        return sizeof(sockaddr_in);
    }
    if (Family() == AF_INET6) {
        return sizeof(sockaddr_in6);
    }
    return kStorageLength;
}

CSocketAddress CSocketAddress::Unmapped() const {
    if (Family() != AF_INET6) {
        return *this;
    }
    const auto& in6 = *reinterpret_cast<const sockaddr_in6*>(&m_storage);
    if (!IsMapped(in6)) {
        return *this;
    }
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = in6.sin6_port;
    std::memcpy(&in.sin_addr, in6.sin6_addr.s6_addr + 12, 4);
    return CSocketAddress(in);
}

bool CSocketAddress::IsLoopback() const {
    const CSocketAddress a = Unmapped();
    if (a.Family() == AF_INET) {
        const auto& in = *reinterpret_cast<const sockaddr_in*>(&a.m_storage);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (a.Family() == AF_INET6) {
        return IN6_IS_ADDR_LOOPBACK(
            &reinterpret_cast<const sockaddr_in6*>(&a.m_storage)->sin6_addr);
    }
    return false;
}

bool CSocketAddress::IsAny() const {
    if (Family() == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_addr.s_addr ==
               htonl(INADDR_ANY);
    }
    if (Family() == AF_INET6) {
        return IN6_IS_ADDR_UNSPECIFIED(
            &reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_addr);
    }
    return false;
}

std::wstring CSocketAddress::Text() const {
    const CSocketAddress a = Unmapped();
    char szText[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {};
    if (a.Family() == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&a.m_storage)->sin_addr, szText,
                    sizeof(szText));
    } else if (a.Family() == AF_INET6) {
        const auto& in6 = *reinterpret_cast<const sockaddr_in6*>(&a.m_storage);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, szText, sizeof(szText));
        if (in6.sin6_scope_id != 0) {
            char szZone[IF_NAMESIZE] = {};
            std::string strZone = ::if_indextoname(in6.sin6_scope_id, szZone) != nullptr
                                      ? std::string(szZone)
                                      : std::to_string(in6.sin6_scope_id);
            return win::AnsiToWide(std::string(szText) + "%" + strZone);
        }
    }
    return win::AnsiToWide(szText);
}

std::wstring CSocketAddress::TextWithPort() const {
    const CSocketAddress a = Unmapped();
    if (!a.IsValid()) {
        return std::wstring();
    }
    const std::wstring strPort = std::to_wstring(a.Port());
    return a.Family() == AF_INET6 ? L"[" + a.Text() + L"]:" + strPort : a.Text() + L":" + strPort;
}

bool CSocketAddress::operator==(const CSocketAddress& other) const {
    const CSocketAddress a = Unmapped();
    const CSocketAddress b = other.Unmapped();
    if (a.Family() != b.Family() || !a.IsValid()) {
        return a.Family() == b.Family();
    }
    return std::memcmp(a.Get(), b.Get(), static_cast<std::size_t>(a.Length())) == 0;
}

bool IsBareIpv6Literal(std::string_view strText) {
    if (strText.find(':') == std::string_view::npos || strText.starts_with("[")) {
        return false;
    }
    const std::optional<CSocketAddress> addr = CSocketAddress::Parse(strText, 0);
    return addr && addr->Family() == AF_INET6;
}
