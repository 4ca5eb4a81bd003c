#include "runtime/long_task_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace lumivane {

#ifndef NDEBUG

namespace {

// The notes of the task this thread runs, and whether it runs one.
thread_local std::string taskNotes;
thread_local bool inTask = false;

// Nanoseconds this thread has spent runnable but waiting for a processor,
// from the scheduler's statistics ("<on cpu> <waiting> <slices>"); 0 where
// the kernel keeps none.
std::int64_t waitedForProcessor() {
    thread_local int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[96];
    auto n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    text[n] = '\0';
    char* end = nullptr;
    std::strtoll(text, &end, 10);
    return std::strtoll(end, nullptr, 10);
}

}  // namespace

LongTaskGuard::LongTaskGuard(Origin origin)
    : origin_(origin), started_(std::chrono::steady_clock::now()), waitedAtStart_(waitedForProcessor()) {
    taskNotes.clear();
    inTask = true;
}

LongTaskGuard::~LongTaskGuard() {
    inTask = false;
    auto elapsed = std::chrono::steady_clock::now() - started_;
    if (elapsed <= kLimit) return;
    auto held = elapsed - std::chrono::nanoseconds(waitedForProcessor() - waitedAtStart_);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(held).count();
    if (held <= kLimit) return;
    std::fprintf(stderr, "Lumivane main loop: a task posted at %s:%u (%s) ran %lld ms%s%s%s\n", origin_.file,
                 origin_.line, origin_.function, static_cast<long long>(ms), taskNotes.empty() ? "" : " [",
                 taskNotes.c_str(), taskNotes.empty() ? "" : "]");
}

void LongTaskGuard::note(const std::string& what) {
    if (!inTask) return;
    if (!taskNotes.empty()) taskNotes += ", ";
    taskNotes += what;
}

#else

LongTaskGuard::LongTaskGuard(Origin) {}
LongTaskGuard::~LongTaskGuard() = default;
void LongTaskGuard::note(const std::string&) {}

#endif

}  // namespace lumivane
