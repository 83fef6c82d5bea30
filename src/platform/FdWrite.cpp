#include "platform/FdWrite.h"

#include <unistd.h>

#include <cerrno>

namespace win {

namespace {

// Calls `fnWrite(p, n, nOffset)` until all is written; see WriteAllFd.
template <typename Fn>
int WriteLoop(const char* p, std::size_t n, std::uint64_t nOffset, Fn&& fnWrite) {
    while (n > 0) {
        const ssize_t nWritten = fnWrite(p, n, nOffset);
        if (nWritten < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (nWritten == 0) {
            return ENOSPC;
        }
        p += nWritten;
        n -= static_cast<std::size_t>(nWritten);
        nOffset += static_cast<std::uint64_t>(nWritten);
    }
    return 0;
}

}  // namespace

int WriteAllFd(int fd, const char* p, std::size_t n) {
    return WriteLoop(p, n, 0, [fd](const char* pAt, std::size_t nLeft, std::uint64_t) {
        return ::write(fd, pAt, nLeft);
    });
}

int WriteAllFdAt(int fd, const char* p, std::size_t n, std::uint64_t nOffset) {
    return WriteLoop(p, n, nOffset, [fd](const char* pAt, std::size_t nLeft, std::uint64_t nAt) {
        return ::pwrite(fd, pAt, nLeft, static_cast<off_t>(nAt));
    });
}

}  // namespace win
