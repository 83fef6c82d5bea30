#include "platform/AlignedBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace win {

namespace {

constexpr std::size_t kHugePage = 2 << 20;

}  // namespace

void FreeAligned::operator()(char* p) const {
    std::free(p);
}

AlignedBuffer AllocateAligned(std::size_t nBytes) {
    const std::size_t nAlign = nBytes >= kHugePage ? kHugePage : kDirectBlock;
    const std::size_t nRounded = std::max<std::size_t>((nBytes + nAlign - 1) / nAlign, 1) * nAlign;
    void* p = std::aligned_alloc(nAlign, nRounded);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    if (nAlign == kHugePage) {
        ::madvise(p, nRounded, MADV_HUGEPAGE);  // a hint; without huge pages nothing changes
    }
    return AlignedBuffer(static_cast<char*>(p));
}

}  // namespace win
