// Giving freed memory back to the system.
#pragma once

namespace win {

// Any thread. Returns the free memory of the allocator's heaps to the system (the heaps keep
// what they freed otherwise, so that a burst of transfers would stay in the process), when
// there is enough of it (2 MiB) to be worth the trim.
void ReturnFreeMemory();

}  // namespace win
