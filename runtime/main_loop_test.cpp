#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "runtime/group.h"
#include "runtime/long_task_guard.h"
#include "runtime/main_loop.h"
#include "runtime/testing/temp_folder.h"

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
    repeating = loop.addTimer(
        1ms,
        [&] {
            if (++ticks == 3) loop.cancelTimer(repeating);
        },
        1ms);
    auto oneShot = loop.addTimer(5ms, [&] { fired = true; });
    loop.cancelTimer(oneShot);
    loop.runUntil([] { return false; }, 60ms);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(fired);
}

TEST(MainLoop, AWaitThatTimesOutStillRunsWhatWasPostedButNotWhatThatPosts) {
    MainLoop loop;
    int ran = 0, reposted = 0;
    for (int i = 0; i < 3; ++i) loop.post([&] { ++ran; });
    std::function<void()> again = [&] {
        ++reposted;
        loop.post(again);
    };
    loop.post(again);
    // A timeout already past, as for a test thread kept off the processor.
    EXPECT_FALSE(loop.runUntil([] { return false; }, 0ms));
    EXPECT_EQ(ran, 3);
    EXPECT_EQ(reposted, 1);
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
    bool timerFired = false;
    loop.addTimer(5s, [&] { timerFired = true; });  // what run() would wait for without the quit
    std::thread other([&] {
        std::this_thread::sleep_for(10ms);
        loop.quit();
    });
    auto start = std::chrono::steady_clock::now();
    loop.run();
    other.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(timerFired);
}

TEST(MainLoop, WatchedDescriptorsWakeTheLoopUntilUnwatched) {
    MainLoop loop;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    int readable = 0;
    auto watch = loop.watchReadable(pipeFds[0], [&] {
        char byte;
        if (::read(pipeFds[0], &byte, 1) == 1 && ++readable == 2) loop.quit();
    });
    loop.addTimer(5s, [] {});  // without the descriptor the loop would sleep until then
    std::thread writer([&] {
        std::this_thread::sleep_for(20ms);
        ASSERT_EQ(::write(pipeFds[1], "ab", 2), 2);
    });
    auto start = std::chrono::steady_clock::now();
    loop.run();  // asleep in poll until the bytes come, one callback each (level-triggered)
    EXPECT_EQ(readable, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    writer.join();

    loop.unwatch(watch);
    ASSERT_EQ(::write(pipeFds[1], "c", 1), 1);
    loop.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(readable, 2);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

#ifndef NDEBUG
// What the loop writes to stderr while `work` runs.
std::string stderrDuring(const std::function<void()>& work) {
    TempFolder folder;
    std::fflush(stderr);
    int file = ::open((folder / "stderr").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int saved = ::dup(2);
    ::dup2(file, 2);
    work();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string text(4096, '\0');
    text.resize(std::size_t(std::max<ssize_t>(0, ::pread(file, text.data(), text.size(), 0))));
    ::close(file);
    return text;
}

// A task that holds the loop past the limit says so once, with where it was
// posted from and what it noted; shorter ones, and timers and watches within
// the limit, say nothing.
TEST(MainLoop, ATaskThatHoldsTheLoopTooLongIsReportedWithItsOrigin) {
    MainLoop loop;
    auto line = __LINE__ + 3;
    auto text = stderrDuring([&] {
        loop.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
        loop.post([] {
            LongTaskGuard::note("\"camera.media\"");
            std::this_thread::sleep_for(LongTaskGuard::kLimit + std::chrono::milliseconds(30));
        });
        loop.addTimer(std::chrono::milliseconds(1), [] {});
        loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
    });
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("Lumivane main loop: a task posted at "), std::string::npos) << text;
    EXPECT_NE(text.find("main_loop_test.cpp:" + std::to_string(line) + " "), std::string::npos) << text;
    EXPECT_NE(text.find("[\"camera.media\"]"), std::string::npos) << text;
}
#endif
