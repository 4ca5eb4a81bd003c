#pragma once

namespace lumivane {

// The host moves multi-MiB buffers (downloads, thumbnails, frames) through the
// codec over and over. By default glibc serves each from fresh mmap'd pages
// and gives them back on free, so every buffer pays a page fault per 4 KiB;
// on virtual machines that costs more than the copy itself. This keeps freed
// memory in the heap for reuse. Heaps of other threads than the main one
// are never trimmed by releaseFreeMemory(), only when their free top exceeds
// that size; so every thread shares two heaps instead of one per thread and
// core, which bounds what a burst of work on many threads leaves behind.
// Call once at process start, before threads.
void tuneAllocatorForLargeBuffers();

// Gives the system back the free memory the heap kept: for after a large
// one-off structure (a listing of a hundred thousand files) is gone, whose
// pages would otherwise stay with the process. Any thread; costs a walk of
// the heap, so not for every call.
void releaseFreeMemory();

// releaseFreeMemory() once a second has passed without another call: for
// the end of a burst of large decodes, without giving back (and faulting in
// again) the memory that each of them reuses from the one before. Any thread.
void releaseFreeMemoryWhenQuiet();

}  // namespace lumivane
