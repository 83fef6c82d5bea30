#include "platform/MemoryTrim.h"

#include <malloc.h>

namespace win {

void ReturnFreeMemory() {
    ::malloc_trim(0);
}

}  // namespace win
