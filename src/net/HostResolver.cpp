#include "net/HostResolver.h"

#include <mutex>

#include "platform/Winsock.h"

namespace {

std::mutex g_resolverMutex;
HostResolverFunction g_fnResolver;  // guarded by g_resolverMutex; empty: the system's

int SystemResolve(const std::string& strHost, std::vector<CSocketAddress>* pAddrs) {
    std::vector<sockaddr_storage> found;
    if (win::ResolveHostAddresses(strHost.c_str(), &found) != 0) {
        return win::WSAGetLastError();
    }
    for (const sockaddr_storage& addr : found) {
        pAddrs->emplace_back(reinterpret_cast<const sockaddr*>(&addr),
                             static_cast<int>(sizeof(addr)));
    }
    return 0;
}

}  // namespace

void SetHostResolver(HostResolverFunction fnResolver) {
    std::lock_guard lock(g_resolverMutex);
    g_fnResolver = std::move(fnResolver);
}

int ResolveHost(const std::string& strHost, std::uint16_t nPort,
                std::vector<CSocketAddress>* pAddrs) {
    HostResolverFunction fnResolver;
    {
        std::lock_guard lock(g_resolverMutex);
        fnResolver = g_fnResolver;
    }
    pAddrs->clear();
    int nError = fnResolver ? fnResolver(strHost, pAddrs) : SystemResolve(strHost, pAddrs);
    std::erase_if(*pAddrs, [](const CSocketAddress& a) { return !a.IsValid(); });
    if (nError == 0 && pAddrs->empty()) {
        nError = WSANO_DATA;
    }
    if (nError != 0) {
        pAddrs->clear();
        win::WSASetLastError(nError);
        return nError;
    }
    for (CSocketAddress& addr : *pAddrs) {
        addr.SetPort(nPort);
    }
    return 0;
}

std::vector<CSocketAddress> InterleaveFamilies(const std::vector<CSocketAddress>& addrs) {
    if (addrs.empty()) {
        return {};
    }
    const int nFirstFamily = addrs.front().Family();
    std::vector<CSocketAddress> first;
    std::vector<CSocketAddress> other;
    for (const CSocketAddress& addr : addrs) {
        (addr.Family() == nFirstFamily ? first : other).push_back(addr);
    }
    std::vector<CSocketAddress> order;
    order.reserve(addrs.size());
    for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) {
            order.push_back(first[i]);
        }
        if (i < other.size()) {
            order.push_back(other[i]);
        }
    }
    return order;
}
