// Whole reads and writes on a descriptor: the loops that every file of ours needs around
// write(2), pwrite(2) and pread(2), which may do less than asked and may be interrupted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

// Writes all `n` bytes at `p` to `fd`. 0 when done, else the errno of the failed write
// (ENOSPC when the system wrote nothing without saying why). Retries on EINTR.
int WriteAllFd(int fd, const char* p, std::size_t n);

// The same at `nOffset` (pwrite), leaving the descriptor's own offset alone.
int WriteAllFdAt(int fd, const char* p, std::size_t n, std::uint64_t nOffset);

// Reads exactly `n` bytes at `nOffset` into `p` (pread). 0 when done, EIO when the file
// ends first, else the errno of the failed read. Retries on EINTR.
int ReadAllFdAt(int fd, char* p, std::size_t n, std::uint64_t nOffset);

}  // namespace win
