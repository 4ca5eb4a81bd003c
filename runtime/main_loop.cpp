#include "runtime/main_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>
#include "runtime/long_task_guard.h"
#include "runtime/mutex.h"

namespace lumivane {

using SteadyClock = std::chrono::steady_clock;

MainLoop::MainLoop() : owner_(std::this_thread::get_id()), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MainLoop::~MainLoop() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MainLoop::wakeUp() {
    std::uint64_t one = 1;
    // A full counter already wakes the loop; nothing else can fail here.
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

void MainLoop::enqueue(std::function<void()> task, Origin origin) {
    bool asleep;
    {
        MutexLock lock(mutex_);
        tasks_.push_back({std::move(task), origin});
        asleep = polling_;
    }
    if (asleep) wakeUp();
}

MainLoop::TimerId MainLoop::addTimer(Duration delay, std::function<void()> task, Duration repeat, Origin origin) {
    TimerId id;
    bool asleep;
    {
        MutexLock lock(mutex_);
        id = nextTimer_++;
        timers_.emplace(SteadyClock::now() + delay, Timer{id, repeat, {std::move(task), origin}});
        asleep = polling_;
    }
    if (asleep) wakeUp();
    return id;
}

void MainLoop::cancelTimer(TimerId id) {
    MutexLock lock(mutex_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            return;
        }
    }
}

MainLoop::WatchId MainLoop::watchReadable(int fd, std::function<void()> onReadable, Origin origin) {
    LUMIVANE_ASSERT_MAIN_LOOP(*this);
    auto id = nextWatch_++;
    watches_.emplace(id, Watch{fd, std::move(onReadable), origin});
    return id;
}

void MainLoop::unwatch(WatchId id) {
    LUMIVANE_ASSERT_MAIN_LOOP(*this);
    watches_.erase(id);
}

void MainLoop::quit() {
    {
        MutexLock lock(mutex_);
        quit_ = true;
    }
    wakeUp();
}

void MainLoop::sleep(SteadyClock::time_point wakeAt) {
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    std::vector<WatchId> ids;
    for (const auto& [id, watch] : watches_) {
        fds.push_back({watch.fd, POLLIN, 0});
        ids.push_back(id);
    }
    timespec timeout{};
    timespec* limit = nullptr;
    if (wakeAt != SteadyClock::time_point::max()) {
        auto left = std::max(SteadyClock::duration::zero(), wakeAt - SteadyClock::now());
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        timeout.tv_sec = seconds.count();
        timeout.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count();
        limit = &timeout;
    }
    int ready = ::ppoll(fds.data(), fds.size(), limit, nullptr);
    if (ready <= 0) return;  // the deadline, or a signal
    if (fds[0].revents) {
        std::uint64_t count;
        [[maybe_unused]] auto drained = ::read(wakeFd_, &count, sizeof count);
    }
    MutexLock lock(mutex_);
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents & POLLNVAL) {
            watches_.erase(ids[i - 1]);  // closed while watched: nothing more can come
        } else if (fds[i].revents) {
            // Runs before the loop polls again (it polls only with no task
            // queued), so a readable descriptor is reported once per poll.
            auto id = ids[i - 1];
            tasks_.push_back({[this, id] {
                                  auto watch = watches_.find(id);
                                  if (watch == watches_.end()) return;
                                  auto onReadable = watch->second.onReadable;  // it may unwatch itself
                                  onReadable();
                              },
                              watches_.at(id).origin});
        }
    }
}

bool MainLoop::turn(SteadyClock::time_point until) {
    Task task;
    for (;;) {
        SteadyClock::time_point wakeAt;
        {
            MutexLock lock(mutex_);
            owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
            polling_ = false;
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
            wakeAt = until;
            if (!timers_.empty() && timers_.begin()->first < wakeAt) wakeAt = timers_.begin()->first;
            polling_ = true;
        }
        sleep(wakeAt);
    }
    LongTaskGuard guard(task.origin);
    task.run();
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
        if (now >= deadline) {
            std::size_t waiting;
            {
                MutexLock lock(mutex_);
                waiting = tasks_.size();
            }
            // Those only, not what they post in turn: a task that posts itself cannot hold the loop.
            for (; waiting > 0 && !predicate(); --waiting)
                if (!turn(now)) break;
            return predicate();
        }
        if (!turn(std::min(deadline, now + kPoll))) return predicate();
    }
    return true;
}

}  // namespace lumivane
