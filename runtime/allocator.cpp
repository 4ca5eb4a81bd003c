#include "runtime/allocator.h"

#include <malloc.h>

namespace lumivane {

void tuneAllocatorForLargeBuffers() {
    // Buffers up to the largest socket frame come from the heap, and up to
    // 256 MiB of free heap is kept rather than trimmed.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

void releaseFreeMemory() { malloc_trim(0); }

}  // namespace lumivane
