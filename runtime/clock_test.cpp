#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/clock.h"

using namespace lumivane;
using namespace std::chrono_literals;

TEST(ManualClock, MovesOnlyWhenAdvanced) {
    ManualClock clock;
    auto steady = clock.steadyNow();
    auto wall = clock.wallNow();
    EXPECT_EQ(clock.steadyNow(), steady);
    clock.advance(30s);
    EXPECT_EQ(clock.steadyNow() - steady, 30s);
    EXPECT_EQ(clock.wallNow() - wall, 30s);
}
