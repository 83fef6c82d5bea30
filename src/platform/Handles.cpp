#include "platform/Handles.h"

#include <atomic>

namespace win {

std::uint32_t NextHandleValue() {
    // Steps of 4 from 0x100, as handle values usually look; 0 is skipped after a wrap.
    static std::atomic<std::uint32_t> s_next{0x100};
    std::uint32_t h = s_next.fetch_add(4, std::memory_order_relaxed);
    while (h == 0) {
        h = s_next.fetch_add(4, std::memory_order_relaxed);
    }
    return h;
}

CHandleTable<CKernelObject>& KernelHandles() {
    static CHandleTable<CKernelObject> s_table;
    return s_table;
}

}  // namespace win
