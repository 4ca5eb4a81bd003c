#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/concurrent_queue.h"
#include "runtime/group.h"
#include "runtime/main_loop.h"

using namespace lumivane;
using namespace std::chrono_literals;

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
