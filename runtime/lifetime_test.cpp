#include "runtime/lifetime.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

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
