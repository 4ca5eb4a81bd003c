// The timer acts once a burst of pokes is over, never sooner than its delay
// after the last poke, again after a later poke, and not after it is gone.
#include "runtime/quiet_timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace lumivane {
namespace {

using namespace std::chrono;

TEST(QuietTimer, ActsOnlyOnceItsDelayHasPassedSinceTheLastPoke) {
    constexpr auto kDelay = milliseconds(150);
    Mutex mutex;
    CondVar ran;
    std::vector<steady_clock::time_point> runs;  // guarded by mutex
    QuietTimer timer(kDelay, [&] {
        MutexLock lock(mutex);
        runs.push_back(steady_clock::now());
        ran.notify_all();
    });
    auto waitForRuns = [&](std::size_t count) {
        MutexLock lock(mutex);
        return ran.wait_for(lock, seconds(30), [&] { return runs.size() >= count; });
    };

    // A burst: each poke comes before the one before it is due, and moves it on.
    std::vector<steady_clock::time_point> pokes;  // this thread's
    auto poke = [&] {
        pokes.push_back(steady_clock::now());
        timer.poke();
    };
    for (int i = 0; i < 4; ++i) {
        poke();
        std::this_thread::sleep_for(kDelay / 3);
    }
    ASSERT_TRUE(waitForRuns(1));
    // Quiet again, then one more poke: one more action.
    poke();
    ASSERT_TRUE(waitForRuns(2));
    // However slow the machine (a sleep may outlast the delay, and then the
    // timer rightly acts within the burst), no action comes sooner than the
    // delay after the poke before it.
    MutexLock lock(mutex);
    for (auto run : runs) {
        auto before = std::find_if(pokes.rbegin(), pokes.rend(), [&](auto poked) { return poked <= run; });
        ASSERT_NE(before, pokes.rend());
        EXPECT_GE(run - *before, kDelay);
    }
}

TEST(QuietTimer, WhatIsNotYetDueIsDroppedWithTheTimer) {
    std::atomic<int> runs{0};
    {
        QuietTimer timer(hours(1), [&] { ++runs; });
        timer.poke();
    }  // returns at once: the wait for the hour ends with the timer
    EXPECT_EQ(runs, 0);
}

}  // namespace
}  // namespace lumivane
