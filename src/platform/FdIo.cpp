#include "platform/FdIo.h"

#include <unistd.h>

#include <cerrno>

namespace win {

namespace {

// Calls `fnIo(p, n, nOffset)` until all `n` bytes are done; `nNothing` is the error when a
// call does nothing without saying why.
template <typename Char, typename Fn>
int IoLoop(Char* p, std::size_t n, std::uint64_t nOffset, int nNothing, Fn&& fnIo) {
    while (n > 0) {
        const ssize_t nDone = fnIo(p, n, nOffset);
        if (nDone < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (nDone == 0) {
            return nNothing;
        }
        p += nDone;
        n -= static_cast<std::size_t>(nDone);
        nOffset += static_cast<std::uint64_t>(nDone);
    }
    return 0;
}

}  // namespace

int WriteAllFd(int fd, const char* p, std::size_t n) {
    return IoLoop(p, n, 0, ENOSPC, [fd](const char* pAt, std::size_t nLeft, std::uint64_t) {
        return ::write(fd, pAt, nLeft);
    });
}

int WriteAllFdAt(int fd, const char* p, std::size_t n, std::uint64_t nOffset) {
    return IoLoop(p, n, nOffset, ENOSPC,
                  [fd](const char* pAt, std::size_t nLeft, std::uint64_t nAt) {
                      return ::pwrite(fd, pAt, nLeft, static_cast<off_t>(nAt));
                  });
}

int ReadAllFdAt(int fd, char* p, std::size_t n, std::uint64_t nOffset) {
    return IoLoop(p, n, nOffset, EIO, [fd](char* pAt, std::size_t nLeft, std::uint64_t nAt) {
        return ::pread(fd, pAt, nLeft, static_cast<off_t>(nAt));
    });
}

}  // namespace win
