#include "runtime/quiet_timer.h"

namespace lumivane {

QuietTimer::QuietTimer(std::chrono::steady_clock::duration delay, std::function<void()> action)
    : delay_(delay), action_(std::move(action)), thread_([this] { run(); }) {}

QuietTimer::~QuietTimer() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_one();
    thread_.join();
}

void QuietTimer::poke() {
    {
        MutexLock lock(mutex_);
        due_ = std::chrono::steady_clock::now() + delay_;
    }
    changed_.notify_one();
}

void QuietTimer::run() {
    MutexLock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this]() LUMIVANE_REQUIRES(mutex_) { return stopping_ || due_.has_value(); });
        // Each poke moves the moment on; the wait starts again from there.
        // The wait is given a copy: it reads its deadline with the lock let
        // go, while a poke may move `due_`.
        while (!stopping_ && due_ && std::chrono::steady_clock::now() < *due_) {
            auto due = *due_;
            changed_.wait_until(lock, due);
        }
        if (stopping_) return;
        due_.reset();
        lock.unlock();
        action_();
        lock.lock();
    }
}

}  // namespace lumivane
