#include "platform/MemoryTrim.h"

#include <malloc.h>

#include <cstddef>

namespace win {

namespace {

// Below this much free memory a trim is not worth its cost: returning pages makes the
// kernel interrupt the other processors to flush their address caches, which a few
// freed connection buffers do not repay (they are soon taken again anyway).
constexpr std::size_t kWorthTrimming = 2u << 20;

}  // namespace

void ReturnFreeMemory() {
    if (::mallinfo2().fordblks < kWorthTrimming) {
        return;
    }
    ::malloc_trim(0);
}

}  // namespace win
