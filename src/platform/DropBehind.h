// Keeping a file that grows at its end from growing the page cache with it. A log of
// gigabytes that nobody reads back while it is written would otherwise take fresh memory
// for every page: on a virtual machine that cost 2.0-2.8 s of CPU per GB written, against
// 0.3 s when the pages dropped behind the end are taken again. The newest kKeepCached bytes
// stay cached; older ones are read from the disk when they are wanted again.
#pragma once

#include <atomic>
#include <cstdint>

namespace win {

class CDropBehind {
public:
    static constexpr std::uint64_t kKeepCached = 64ull << 20;
    static constexpr std::uint64_t kStep = 16ull << 20;

    // Any thread. A write to `fd` ended at the file offset `nEnd`: every kStep, the pages
    // further than kKeepCached behind it leave the cache (dirty ones start their write-back
    // and leave at a later step), asked for on a thread of the process's own, since that
    // takes milliseconds and a writer may hold a lock.
    void Wrote(int fd, std::uint64_t nEnd);
    // Any thread. The file was emptied.
    void Reset() { m_nDroppedTo = 0; }

private:
    std::atomic<std::uint64_t> m_nDroppedTo{0};  // pages before it were asked to leave
};

}  // namespace win
