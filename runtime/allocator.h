#pragma once

namespace lumivane {

// The host moves multi-MiB buffers (downloads, thumbnails, frames) through the
// codec over and over. By default glibc serves each from fresh mmap'd pages
// and gives them back on free, so every buffer pays a page fault per 4 KiB;
// on virtual machines that costs more than the copy itself. This keeps freed
// memory in the heap for reuse. Call once at process start, before threads.
void tuneAllocatorForLargeBuffers();

}  // namespace lumivane
