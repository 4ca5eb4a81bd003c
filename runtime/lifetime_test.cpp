#include "runtime/lifetime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

using namespace lumivane;

TEST(Lifetime, GuardedWorkAndTokensFollowTheOwnerToItsEnd) {
    std::vector<int> ran;
    std::function<void(int)> guarded;
    std::optional<Lifetime::Token> token;
    {
        Lifetime lifetime;
        guarded = lifetime.guard([&](int n) { ran.push_back(n); });
        token = lifetime.token();
        guarded(1);
        EXPECT_TRUE(*token);
        auto copy = guarded;  // copies share the owner's fate
        copy(2);
    }  // the owner goes
    guarded(3);
    EXPECT_FALSE(*token);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));

    Lifetime ended;
    auto late = ended.guard([&] { ran.push_back(4); });
    ended.end();  // ended early, as a destructor does before it lets work in flight finish
    ended.end();
    late();
    EXPECT_FALSE(ended.token());
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(Lifetime, EndWaitsForWorkRunningElsewhereButNotForItself) {
    // Work running on another thread holds its owner: end() returns only after it.
    auto lifetime = std::make_unique<Lifetime>();
    std::promise<void> entered, release;
    std::atomic<bool> finished{false};
    std::thread worker(lifetime->guard([&] {
        entered.set_value();
        release.get_future().wait();
        finished = true;
    }));
    entered.get_future().wait();
    bool finishedWhenEnded = false;
    std::thread ender([&] {
        lifetime->end();
        finishedWhenEnded = finished;
    });
    release.set_value();
    ender.join();
    EXPECT_TRUE(finishedWhenEnded);
    worker.join();

    // A guarded callback that ends its own owner does not wait for itself; once
    // ended, a guarded stream provider answers "no more".
    Lifetime own;
    auto provider = own.guard([&] {
        own.end();
        return true;
    });
    EXPECT_TRUE(provider());
    EXPECT_FALSE(provider());
}
