#include "platform/DropBehind.h"

#include <fcntl.h>

namespace win {

void CDropBehind::Wrote(int fd, std::uint64_t nEnd) {
    std::uint64_t nDropped = m_nDroppedTo.load(std::memory_order_relaxed);
    if (nEnd < nDropped + kKeepCached + kStep) {
        return;
    }
    const std::uint64_t nTo = (nEnd - kKeepCached) & ~std::uint64_t{4095};
    // One writer drops each step; the others go on writing.
    if (!m_nDroppedTo.compare_exchange_strong(nDropped, nTo, std::memory_order_relaxed)) {
        return;
    }
    // Pages that were still dirty at the steps before are written back by now: that range is
    // covered once more. The system starts the write-back of what is still dirty and drops
    // what is clean.
    const std::uint64_t nFrom = nDropped > 2 * kStep ? nDropped - 2 * kStep : 0;
    ::posix_fadvise(fd, static_cast<off_t>(nFrom), static_cast<off_t>(nTo - nFrom),
                    POSIX_FADV_DONTNEED);
}

}  // namespace win
