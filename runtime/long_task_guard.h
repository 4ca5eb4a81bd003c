#pragma once
#include <chrono>
#include <string>
#include "runtime/origin.h"

namespace lumivane {

// Watches one main-loop task in debug builds (sanitizer builds included):
// a task that holds the loop longer than kLimit writes one line to stderr,
//   Lumivane main loop: a task posted at <file>:<line> (<function>) ran <n> ms [<notes>]
// which the test suite fails on, so that nothing that blocks the loop creeps
// in unseen. Time the thread spent waiting for a processor is not counted:
// a busy machine does not make a task long. In release builds it does
// nothing and costs nothing.
//
// The main loop's thread, around each task it runs.
class LongTaskGuard {
public:
    static constexpr auto kLimit = std::chrono::milliseconds(50);

    explicit LongTaskGuard(Origin origin);
    ~LongTaskGuard();
    LongTaskGuard(const LongTaskGuard&) = delete;
    LongTaskGuard& operator=(const LongTaskGuard&) = delete;

    // What the running task is doing ("\"camera.media\""), for its line.
    // Any thread; only the main loop's notes are kept.
    static void note(const std::string& what);

private:
#ifndef NDEBUG
    Origin origin_;
    std::chrono::steady_clock::time_point started_;
    std::int64_t waitedAtStart_ = 0;  // ns the thread had waited for a processor
#endif
};

}  // namespace lumivane
