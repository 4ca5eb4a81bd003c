#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/group.h"
#include "runtime/serial_queue.h"

using namespace lumivane;
using namespace std::chrono_literals;

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
