#include "platform/FaultInjection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace win {

namespace {

struct CArmedFault {
    CFaultRule rule;
    int nSeen = 0;
    int nFailed = 0;
};

std::atomic<bool> g_bArmed{false};
std::mutex g_faultMutex;
std::vector<CArmedFault> g_faults;  // guarded by g_faultMutex
int g_nInjected = 0;                // guarded by g_faultMutex

std::uint16_t PortOf(int fd, bool bPeer) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    const int rc = bPeer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                         : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (rc != 0) {
        return 0;
    }
    if (addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    }
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    }
    return 0;
}

bool Eligible(const CFaultRule& rule, FaultCall call, int fd) {
    if (rule.call != call) {
        return false;
    }
    if (rule.nLocalPort != 0 && (fd < 0 || PortOf(fd, false) != rule.nLocalPort)) {
        return false;
    }
    return rule.nPeerPort == 0 || (fd >= 0 && PortOf(fd, true) == rule.nPeerPort);
}

}  // namespace

void ArmFault(const CFaultRule& rule) {
    std::lock_guard lock(g_faultMutex);
    g_faults.push_back({rule});
    g_bArmed = true;
}

void DisarmFaults() {
    std::lock_guard lock(g_faultMutex);
    g_faults.clear();
    g_nInjected = 0;
    g_bArmed = false;
}

int InjectedFaultCount() {
    std::lock_guard lock(g_faultMutex);
    return g_nInjected;
}

int TakeFault(FaultCall call, int fd) {
    if (!g_bArmed.load(std::memory_order_relaxed)) {
        return 0;
    }
    int nErrno = 0;
    int nDelayMs = 0;
    {
        std::lock_guard lock(g_faultMutex);
        for (CArmedFault& fault : g_faults) {
            if (!Eligible(fault.rule, call, fd)) {
                continue;
            }
            if (fault.nSeen++ < fault.rule.nSkip) {
                continue;
            }
            if (fault.rule.nTimes >= 0 && fault.nFailed >= fault.rule.nTimes) {
                continue;
            }
            ++fault.nFailed;
            ++g_nInjected;
            nErrno = fault.rule.nErrno;
            nDelayMs = fault.rule.nDelayMs;
            break;
        }
    }
    if (nDelayMs > 0) {
        // Outside the lock: a slow call holds up only its own thread.
        std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
    }
    return nErrno;
}

}  // namespace win
