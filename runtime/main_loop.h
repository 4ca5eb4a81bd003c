#pragma once
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/executor.h"

// Debug builds check that a main-loop-only entry point runs on the main loop.
#define LUMIVANE_ASSERT_MAIN_LOOP(loop) assert((loop).isCurrent() && "main loop only")

namespace lumivane {

// The main thread's run loop. Every answer and every event of the host is
// delivered from it. post(), addTimer(), cancelTimer() and quit() may be called
// from any thread; run() and runUntil() only from the thread that owns the loop.
// `mutex_` guards the task queue, the timers and the quit flag.
class MainLoop final : public Executor {
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimerId = std::uint64_t;

    MainLoop();
    void post(std::function<void()> task) override;

    // A one-shot timer (repeat zero) or a repeating one. Cancelling an unknown or
    // already fired one-shot id does nothing.
    TimerId addTimer(Duration delay, std::function<void()> task, Duration repeat = Duration::zero());
    void cancelTimer(TimerId id);

    void run();
    // Ends the current run(), or the next one if none is running yet (a quit
    // that arrives before the loop starts is not lost).
    void quit();
    // Runs until `predicate` holds (checked after every task, and every 10 ms)
    // or `timeout` passes.
    // Answers whether the predicate held. For tests.
    bool runUntil(const std::function<bool()>& predicate, Duration timeout);

    // True on the thread that is running (or last ran) the loop.
    bool isCurrent() const { return std::this_thread::get_id() == owner_; }

private:
    struct Timer {
        TimerId id;
        Duration repeat;
        std::function<void()> task;
    };
    // Runs ready work once, waiting at most until `until`. Answers false when quit.
    bool turn(std::chrono::steady_clock::time_point until);

    std::thread::id owner_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;                             // guarded by mutex_
    std::multimap<std::chrono::steady_clock::time_point, Timer> timers_;  // guarded by mutex_
    TimerId nextTimer_ = 1;                                               // guarded by mutex_
    bool quit_ = false;                                                   // guarded by mutex_
};

}  // namespace lumivane
