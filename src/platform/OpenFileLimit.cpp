#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

#include <cstdio>

namespace win {

namespace {

// What one process may open at most whatever the hard limit says (fs/nr_open).
std::uint64_t KernelMaximum() {
    std::uint64_t n = 1048576;
    if (std::FILE* pFile = std::fopen("/proc/sys/fs/nr_open", "re")) {
        unsigned long long v = 0;
        if (std::fscanf(pFile, "%llu", &v) == 1 && v > 0) {
            n = v;
        }
        std::fclose(pFile);
    }
    return n;
}

}  // namespace

COpenFileLimit RaiseOpenFileLimit() {
    COpenFileLimit result;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return result;
    }
    result.nBefore = limit.rlim_cur;
    result.nHard = limit.rlim_max;
    std::uint64_t nWanted = limit.rlim_max;
    if (limit.rlim_max == RLIM_INFINITY) {
        nWanted = KernelMaximum();
    }
    if (nWanted > limit.rlim_cur) {
        rlimit raised = limit;
        raised.rlim_cur = static_cast<rlim_t>(nWanted);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    result.nSoft = limit.rlim_cur;
    return result;
}

std::wstring DescribeOpenFileLimit(const COpenFileLimit& limit) {
    std::wstring strText = L"Open files limit: " + std::to_wstring(limit.nSoft);
    if (limit.nSoft != limit.nBefore) {
        strText += L" (raised from " + std::to_wstring(limit.nBefore) + L"; hard limit ";
    } else {
        strText += L" (hard limit ";
    }
    strText +=
        limit.nHard == RLIM_INFINITY ? std::wstring(L"unlimited") : std::to_wstring(limit.nHard);
    strText += L"), room for " + std::to_wstring(SessionCapacity(limit.nSoft)) + L" sessions";
    return strText;
}

std::uint64_t OpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    return limit.rlim_cur;
}

std::size_t SessionCapacity(std::uint64_t nLimit) {
    // A fixed share for the rest of the program, and a sixteenth for what grows with the
    // sessions besides their sockets (response files, spool files, sessions that end).
    const std::uint64_t nReserved = 40 + nLimit / 16;
    if (nLimit <= nReserved) {
        return 0;
    }
    return static_cast<std::size_t>((nLimit - nReserved) / kDescriptorsPerSession);
}

}  // namespace win
