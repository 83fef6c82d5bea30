// Name resolution for outgoing connections: every address of a host, both families, in the
// resolver's order. Tests put a resolver of their own in place of the system's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/SocketAddress.h"

// Fills `pAddrs` (ports left 0 or any) and returns 0, or returns a Winsock code
// (WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA).
using HostResolverFunction =
    std::function<int(const std::string& strHost, std::vector<CSocketAddress>* pAddrs)>;

// Any thread; meant to be called while no connection is being made (tests). Replaces the
// resolver; an empty function puts the system's back.
void SetHostResolver(HostResolverFunction fnResolver);

// Any thread. The addresses of `strHost` with `nPort` set; 0 or a Winsock code, which is
// also the calling thread's last error.
int ResolveHost(const std::string& strHost, std::uint16_t nPort,
                std::vector<CSocketAddress>* pAddrs);

// The order in which the addresses are tried (RFC 8305, section 4): the resolver's first
// address, then the families alternate, each family keeping the resolver's order.
std::vector<CSocketAddress> InterleaveFamilies(const std::vector<CSocketAddress>& addrs);
