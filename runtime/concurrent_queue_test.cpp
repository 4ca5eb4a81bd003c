#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/concurrent_queue.h"
#include "runtime/group.h"

using namespace lumivane;
using namespace std::chrono_literals;

TEST(ConcurrentQueue, AddsAWorkerWhenEveryWorkerIsBlocked) {
    // Eight tasks that each wait for all eight to have started: only an elastic
    // pool gets through; a fixed pool of two would wait forever (here: time out).
    // The semaphores outlive the queue, whose end waits for its tasks.
    constexpr int n = 8;
    Semaphore started, release;
    ConcurrentQueue queue("lumivane.test.pool");
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
