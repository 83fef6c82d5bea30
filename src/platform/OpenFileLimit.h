// The process's limit of open descriptors (RLIMIT_NOFILE), raised at start as servers do,
// and the number of relay sessions it leaves room for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace win {

struct COpenFileLimit {
    std::uint64_t nBefore = 0;  // the soft limit found
    std::uint64_t nSoft = 0;    // the soft limit now
    std::uint64_t nHard = 0;    // the hard limit
};

// Start of the program. Raises the soft limit to the hard one (capped at what the kernel
// takes for one process); returns the limits before and after.
COpenFileLimit RaiseOpenFileLimit();

// The trace line that tells the limit: "Open files limit: 20000 (raised from 1024; hard
// limit 20000), room for 4677 sessions".
std::wstring DescribeOpenFileLimit(const COpenFileLimit& limit);

// Any thread. The soft limit now in force.
std::uint64_t OpenFileLimit();

// Descriptors one open session holds: two sockets and their two event objects.
constexpr std::size_t kDescriptorsPerSession = 4;

// Any thread. How many sessions fit under the limit `nLimit`, after the descriptors the
// program keeps for everything else (standard streams, the log, the settings store, the
// listener, response files).
std::size_t SessionCapacity(std::uint64_t nLimit);

}  // namespace win
