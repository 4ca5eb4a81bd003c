#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "runtime/executor.h"
#include "runtime/mutex.h"

namespace lumivane {

// Counts work in flight: enter() before, leave() after. wait() blocks until the
// count is zero; notify() runs a task on an executor once it is. Every method may
// be called from any thread. `mutex_` guards `count_` and `waiters_`.
class Group {
public:
    void enter();
    void leave();
    // Answers false when `timeout` passed with work still in flight.
    bool wait(std::chrono::steady_clock::duration timeout = std::chrono::hours(24 * 365));
    void notify(Executor& executor, std::function<void()> task);

private:
    Mutex mutex_;
    CondVar zero_;
    long count_ = 0;
    std::vector<std::pair<Executor*, std::function<void()>>> waiters_;
};

// A counting semaphore whose wait has a deadline. Any thread.
// `mutex_` guards `count_`.
class Semaphore {
public:
    explicit Semaphore(long initial = 0) : count_(initial) {}
    void signal();
    // Answers false when the deadline passed before a signal was available.
    bool wait(std::chrono::steady_clock::time_point deadline);
    bool waitFor(std::chrono::steady_clock::duration timeout) {
        return wait(std::chrono::steady_clock::now() + timeout);
    }

private:
    Mutex mutex_;
    CondVar available_;
    long count_;
};

}  // namespace lumivane
