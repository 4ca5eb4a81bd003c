#pragma once
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/executor.h"
#include "runtime/mutex.h"

// Debug builds check that a main-loop-only entry point runs on the main loop.
#define LUMIVANE_ASSERT_MAIN_LOOP(loop) assert((loop).isCurrent() && "main loop only")

namespace lumivane {

// The main thread's run loop. Every answer and every event of the host is
// delivered from it, and it watches file descriptors for the services that
// report through sockets. post(), addTimer(), cancelTimer() and quit() may be
// called from any thread; run(), runUntil(), watchReadable() and unwatch()
// only from the thread that owns the loop. `mutex_` guards the task queue,
// the timers, the quit flag and `polling_`; `watches_` belongs to the loop's
// thread. In debug builds each task is watched by a LongTaskGuard.
class MainLoop final : public Executor {
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimerId = std::uint64_t;
    using WatchId = std::uint64_t;

    MainLoop();
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;
    // A one-shot timer (repeat zero) or a repeating one. Cancelling an unknown or
    // already fired one-shot id does nothing.
    TimerId addTimer(Duration delay, std::function<void()> task, Duration repeat = Duration::zero(),
                     Origin origin = Origin::current());
    void cancelTimer(TimerId id);

    // Calls `onReadable` on the loop whenever `fd` can be read (or has hung
    // up), until unwatched; the descriptor stays the caller's, who unwatches
    // it before closing it. Unwatching an unknown id does nothing.
    WatchId watchReadable(int fd, std::function<void()> onReadable, Origin origin = Origin::current());
    void unwatch(WatchId id);

    void run();
    // Ends the current run(), or the next one if none is running yet (a quit
    // that arrives before the loop starts is not lost).
    void quit();
    // Runs until `predicate` holds (checked after every task, and every 10 ms)
    // or `timeout` passes; at the timeout the tasks already posted still run
    // (a thread kept off the processor past the timeout must not skip what
    // was waiting for it). Answers whether the predicate held. For tests.
    bool runUntil(const std::function<bool()>& predicate, Duration timeout);

    // True on the thread that is running (or last ran) the loop.
    bool isCurrent() const { return std::this_thread::get_id() == owner_.load(std::memory_order_relaxed); }

protected:
    void enqueue(std::function<void()> task, Origin origin) override;

private:
    // A task and where it was posted, for the guard of long tasks.
    struct Task {
        std::function<void()> run;
        Origin origin;
    };
    struct Timer {
        TimerId id;
        Duration repeat;
        Task task;
    };
    struct Watch {
        int fd;
        std::function<void()> onReadable;
        Origin origin;
    };
    // Runs ready work once, waiting at most until `until`. Answers false when quit.
    bool turn(std::chrono::steady_clock::time_point until);
    // Sleeps in poll until `wakeAt`, a wake-up or a watched descriptor; queues
    // the callbacks of the descriptors that became readable.
    void sleep(std::chrono::steady_clock::time_point wakeAt);
    void wakeUp();

    // Written by the thread that turns the loop, read by any: a thread only
    // ever finds its own id there if it wrote it itself, so no order is needed.
    std::atomic<std::thread::id> owner_;
    Mutex mutex_;
    int wakeFd_ = -1;  // an eventfd: written to wake the loop from poll
    std::deque<Task> tasks_ LUMIVANE_GUARDED_BY(mutex_);
    std::multimap<std::chrono::steady_clock::time_point, Timer> timers_ LUMIVANE_GUARDED_BY(mutex_);
    TimerId nextTimer_ LUMIVANE_GUARDED_BY(mutex_) = 1;
    bool quit_ LUMIVANE_GUARDED_BY(mutex_) = false;
    bool polling_ LUMIVANE_GUARDED_BY(mutex_) = false;  // the loop is (about to be) asleep in poll
    std::map<WatchId, Watch> watches_;
    WatchId nextWatch_ = 1;
};

}  // namespace lumivane
