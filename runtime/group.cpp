#include "runtime/group.h"
#include "runtime/mutex.h"

namespace lumivane {

void Group::enter() {
    MutexLock lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::vector<std::pair<Executor*, std::function<void()>>> ready;
    {
        // Notified under the lock: a waiter may destroy the group as soon as it
        // sees zero.
        MutexLock lock(mutex_);
        if (--count_ > 0) return;
        count_ = 0;
        ready.swap(waiters_);
        zero_.notify_all();
    }
    for (auto& [executor, task] : ready) executor->post(std::move(task));
}

bool Group::wait(std::chrono::steady_clock::duration timeout) {
    MutexLock lock(mutex_);
    return zero_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

void Group::notify(Executor& executor, std::function<void()> task) {
    {
        MutexLock lock(mutex_);
        if (count_ > 0) {
            waiters_.emplace_back(&executor, std::move(task));
            return;
        }
    }
    executor.post(std::move(task));
}

void Semaphore::signal() {
    // Notified under the lock: the waiter may destroy the semaphore as soon as
    // it sees the count.
    MutexLock lock(mutex_);
    ++count_;
    available_.notify_one();
}

bool Semaphore::wait(std::chrono::steady_clock::time_point deadline) {
    MutexLock lock(mutex_);
    if (!available_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
    --count_;
    return true;
}

}  // namespace lumivane
