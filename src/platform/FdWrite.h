// Whole writes to a descriptor: the loops that every file writer of ours needs around
// write(2) and pwrite(2), which may write less than asked and may be interrupted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

// Writes all `n` bytes at `p` to `fd`. 0 when done, else the errno of the failed write
// (ENOSPC when the system wrote nothing without saying why). Retries on EINTR.
int WriteAllFd(int fd, const char* p, std::size_t n);

// The same at `nOffset` (pwrite), leaving the descriptor's own offset alone.
int WriteAllFdAt(int fd, const char* p, std::size_t n, std::uint64_t nOffset);

}  // namespace win
