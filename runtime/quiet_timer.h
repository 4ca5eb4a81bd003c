#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "runtime/mutex.h"

namespace lumivane {

// Runs an action once things have gone quiet: `delay` after the last poke(),
// on a thread of its own, never while pokes keep coming closer together than
// that. For work worth doing once after a burst rather than after each of its
// parts (giving memory back after a run of large decodes).
//
// poke() from any thread; the action runs on the timer's thread. The
// destructor waits for a running action and drops one not yet due. `mutex_`
// guards `due_` and `stopping_`.
class QuietTimer {
public:
    QuietTimer(std::chrono::steady_clock::duration delay, std::function<void()> action);
    ~QuietTimer();
    QuietTimer(const QuietTimer&) = delete;
    QuietTimer& operator=(const QuietTimer&) = delete;

    void poke();

private:
    void run();

    const std::chrono::steady_clock::duration delay_;
    const std::function<void()> action_;
    Mutex mutex_;
    CondVar changed_;
    std::optional<std::chrono::steady_clock::time_point> due_ LUMIVANE_GUARDED_BY(mutex_);
    bool stopping_ LUMIVANE_GUARDED_BY(mutex_) = false;
    std::thread thread_;  // last: starts once the rest is set
};

}  // namespace lumivane
