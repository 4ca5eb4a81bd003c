#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/concurrent_queue.h"
#include "runtime/group.h"
#include "runtime/main_loop.h"
#include "runtime/serial_queue.h"

using namespace lumivane;
using namespace std::chrono_literals;

TEST(MainLoop, RunsPostedTasksInOrderAndTimersByDeadline) {
    MainLoop loop;
    std::vector<int> seen;
    loop.addTimer(30ms, [&] { seen.push_back(3); });
    loop.addTimer(10ms, [&] { seen.push_back(2); });
    std::thread([&] { loop.post([&] { seen.push_back(1); }); }).join();
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() == 3; }, 2s));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(MainLoop, RepeatingTimerRepeatsUntilCancelledAndCancelledOneShotNeverFires) {
    MainLoop loop;
    int ticks = 0;
    bool fired = false;
    MainLoop::TimerId repeating = 0;
    repeating = loop.addTimer(1ms, [&] {
        if (++ticks == 3) loop.cancelTimer(repeating);
    }, 1ms);
    auto oneShot = loop.addTimer(5ms, [&] { fired = true; });
    loop.cancelTimer(oneShot);
    loop.runUntil([] { return false; }, 60ms);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(fired);
}

TEST(MainLoop, AQuitBeforeRunStartsIsNotLost) {
    MainLoop loop;
    loop.quit();
    loop.run();  // returns at once
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, 1s));  // the quit was consumed
}

TEST(MainLoop, QuitFromAnotherThreadEndsRun) {
    MainLoop loop;
    std::thread other([&] {
        std::this_thread::sleep_for(10ms);
        loop.quit();
    });
    loop.run();
    other.join();
    SUCCEED();
}

TEST(SerialQueue, RunsOneAtATimeInOrderOnItsOwnThread) {
    std::vector<int> seen;
    std::atomic<int> running{0};
    bool overlapped = false;
    std::thread::id queueThread;
    {
        SerialQueue queue("lumivane.test");
        for (int i = 0; i < 100; ++i) {
            queue.post([&, i] {
                if (running.fetch_add(1) != 0) overlapped = true;
                seen.push_back(i);
                queueThread = std::this_thread::get_id();
                running.fetch_sub(1);
            });
        }
    }  // the destructor drains the queue
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped);
    EXPECT_NE(queueThread, std::this_thread::get_id());
}

TEST(ConcurrentQueue, AddsAWorkerWhenEveryWorkerIsBlocked) {
    // Eight tasks that each wait for all eight to have started: only an elastic
    // pool gets through; a fixed pool of two would wait forever (here: time out).
    ConcurrentQueue queue("lumivane.test.pool");
    constexpr int n = 8;
    Semaphore started, release;
    for (int i = 0; i < n; ++i) {
        queue.post([&] {
            started.signal();
            release.waitFor(5s);
        });
    }
    for (int i = 0; i < n; ++i) ASSERT_TRUE(started.waitFor(2s)) << "task " << i << " never started";
    for (int i = 0; i < n; ++i) release.signal();
}

TEST(ConcurrentQueue, IdleWorkersRetire) {
    ConcurrentQueue queue("lumivane.test.idle", 8, 20ms);
    Group group;
    for (int i = 0; i < 4; ++i) {
        group.enter();
        queue.post([&] {
            std::this_thread::sleep_for(5ms);
            group.leave();
        });
    }
    ASSERT_TRUE(group.wait(2s));
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (queue.workerCount() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(queue.workerCount(), 0u);
    // and the pool still works afterwards
    Semaphore done;
    queue.post([&] { done.signal(); });
    EXPECT_TRUE(done.waitFor(2s));
}

TEST(Group, NotifyRunsOnTheExecutorOnceEveryTaskLeft) {
    MainLoop loop;
    ConcurrentQueue queue("lumivane.test.group");
    Group group;
    std::atomic<int> done{0};
    bool notified = false;
    for (int i = 0; i < 5; ++i) {
        group.enter();
        queue.post([&] {
            ++done;
            group.leave();
        });
    }
    group.notify(loop, [&] {
        EXPECT_TRUE(loop.isCurrent());
        EXPECT_EQ(done.load(), 5);
        notified = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return notified; }, 2s));
}

TEST(Semaphore, WaitEndsAtTheDeadlineWithoutASignal) {
    Semaphore semaphore;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.waitFor(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    semaphore.signal();
    EXPECT_TRUE(semaphore.waitFor(0ms));
}

TEST(ManualClock, MovesOnlyWhenAdvanced) {
    ManualClock clock;
    auto steady = clock.steadyNow();
    auto wall = clock.wallNow();
    EXPECT_EQ(clock.steadyNow(), steady);
    clock.advance(30s);
    EXPECT_EQ(clock.steadyNow() - steady, 30s);
    EXPECT_EQ(clock.wallNow() - wall, 30s);
}
