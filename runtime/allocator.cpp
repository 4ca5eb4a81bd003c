#include "runtime/allocator.h"

#include <malloc.h>

#include "runtime/quiet_timer.h"

namespace lumivane {

void tuneAllocatorForLargeBuffers() {
    // Buffers up to the largest socket frame come from the heap, and up to
    // 256 MiB of free heap is kept rather than trimmed.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_ARENA_MAX, 2);
}

void releaseFreeMemory() { malloc_trim(0); }

void releaseFreeMemoryWhenQuiet() {
    // For the life of the process: never destroyed, so no caller can outlive it.
    static auto* timer = new QuietTimer(std::chrono::seconds(1), [] { releaseFreeMemory(); });
    timer->poke();
}

}  // namespace lumivane
