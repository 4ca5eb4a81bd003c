#include "runtime/main_loop.h"

#include <algorithm>

namespace lumivane {

using SteadyClock = std::chrono::steady_clock;

MainLoop::MainLoop() : owner_(std::this_thread::get_id()) {}

void MainLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

MainLoop::TimerId MainLoop::addTimer(Duration delay, std::function<void()> task, Duration repeat) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        timers_.emplace(SteadyClock::now() + delay, Timer{id, repeat, std::move(task)});
    }
    wake_.notify_one();
    return id;
}

void MainLoop::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            return;
        }
    }
}

void MainLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
}

bool MainLoop::turn(SteadyClock::time_point until) {
    std::function<void()> task;
    {
        std::unique_lock lock(mutex_);
        owner_ = std::this_thread::get_id();
        for (;;) {
            if (quit_) {
                quit_ = false;  // consumed: a later run() starts afresh
                return false;
            }
            if (!tasks_.empty()) {
                task = std::move(tasks_.front());
                tasks_.pop_front();
                break;
            }
            auto now = SteadyClock::now();
            if (!timers_.empty() && timers_.begin()->first <= now) {
                auto node = timers_.extract(timers_.begin());
                Timer& timer = node.mapped();
                if (timer.repeat > Duration::zero()) {
                    // A repeating timer stays registered under the same id; the copy
                    // runs now.
                    task = timer.task;
                    node.key() = now + timer.repeat;
                    timers_.insert(std::move(node));
                } else {
                    task = std::move(timer.task);
                }
                break;
            }
            if (now >= until) return true;
            auto wakeAt = until;
            if (!timers_.empty() && timers_.begin()->first < wakeAt) wakeAt = timers_.begin()->first;
            wake_.wait_until(lock, wakeAt);
        }
    }
    task();
    return true;
}

void MainLoop::run() {
    while (turn(SteadyClock::time_point::max())) {
    }
}

bool MainLoop::runUntil(const std::function<bool()>& predicate, Duration timeout) {
    // The predicate may depend on other threads, so it is checked every few
    // milliseconds as well as after every task.
    constexpr auto kPoll = std::chrono::milliseconds(10);
    auto deadline = SteadyClock::now() + timeout;
    while (!predicate()) {
        auto now = SteadyClock::now();
        if (now >= deadline) return false;
        if (!turn(std::min(deadline, now + kPoll))) return predicate();
    }
    return true;
}

}  // namespace lumivane
