// Memory for direct (O_DIRECT) writes: the system takes such a write only from a buffer
// aligned to the file system's block.
#pragma once

#include <cstddef>
#include <memory>

namespace win {

// The alignment every direct write of ours keeps: the block of the usual file systems.
constexpr std::size_t kDirectBlock = 4096;

struct FreeAligned {
    void operator()(char* p) const;
};
using AlignedBuffer = std::unique_ptr<char[], FreeAligned>;

// At least nBytes, aligned to kDirectBlock; a buffer of 2 MiB or more is aligned to a huge
// page and asks for huge pages (a direct write pins every page of its buffer, and one huge
// page costs about what one small one does). Throws std::bad_alloc.
AlignedBuffer AllocateAligned(std::size_t nBytes);

}  // namespace win
