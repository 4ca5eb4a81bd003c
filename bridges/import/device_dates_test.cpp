// A device's capture times, read once in the background: what the history
// kept is not read again, what changed since is, sidecars are not read, and
// a device that goes stops its reading without a word.
#include "bridges/import/device_dates.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

#include "bridges/import/testing/fake_import_source.h"
#include "bridges/import/testing/no_metadata.h"
#include "runtime/concurrent_queue.h"
#include "runtime/main_loop.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

// A head that starts "taken N" was taken at N.
struct WrittenDates final : PhotoMetadata {
    std::optional<std::int64_t> captureTime(const std::string& path) override {
        std::ifstream in(path);
        std::string word;
        std::int64_t seconds = 0;
        if (in >> word >> seconds && word == "taken") return seconds;
        return std::nullopt;
    }
    std::optional<std::string> rated(const std::string&, PhotoRating) override { return std::nullopt; }
};

struct DeviceDatesTest : ::testing::Test {
    TempFolder folder;
    Log log{Log::Options{false, false, false}};
    std::unique_ptr<ImportHistory> history = ImportHistory::open(folder.path() + "/history.sqlite", log).value();
    std::shared_ptr<FakeImportSource> card = std::make_shared<FakeImportSource>();
    WrittenDates photos;
    NoVideoFrames videos;
    MainLoop loop;
    std::vector<DeviceDates::Progress> told;  // main loop
    std::unique_ptr<DeviceDates> dates;
    std::atomic<int> working{0};  // tasks posted and not yet finished
    // While held, work is kept back instead of started: a first answer is
    // seen before any reading could have ended, however the threads run.
    std::mutex heldMutex;
    bool holding = false;                         // guarded by heldMutex
    std::vector<std::function<void()>> heldWork;  // guarded by heldMutex
    ConcurrentQueue queue{"test.dates"};          // gone first: its work ends while `dates` is here

    void SetUp() override { dates = make(); }
    std::unique_ptr<DeviceDates> make() {
        return std::make_unique<DeviceDates>(
            ItemCopy::Services{photos, videos}, folder.path() + "/scratch",
            [this](std::function<void()> work) {
                ++working;
                std::lock_guard lock(heldMutex);
                if (holding)
                    heldWork.push_back(std::move(work));
                else
                    start(std::move(work));
            },
            [this](std::function<void()> work) { loop.post(std::move(work)); },
            [this](const std::string& kind, const std::string& id, const DeviceDates::Progress& progress) {
                EXPECT_EQ(kind, "volume");
                EXPECT_EQ(id, "/card");
                told.push_back(progress);
            });
    }
    void start(std::function<void()> work) {
        queue.post([this, work = std::move(work)] {
            work();
            --working;
        });
    }
    void hold(bool on) {
        std::lock_guard lock(heldMutex);
        holding = on;
        if (on) return;
        for (auto& work : heldWork) start(std::move(work));
        heldWork.clear();
    }
    // Until the readings' work has ended; then a DeviceDates may be replaced.
    void settle() {
        EXPECT_TRUE(loop.runUntil([&] { return working == 0; }, std::chrono::seconds(20)));
    }
    EncodableMap ask(bool fresh = false) { return dates->ask("volume", "/card", card, history.get(), fresh); }
    // Asks, then waits on the main loop for the reading to be told complete, and answers the dates.
    EncodableMap complete(bool fresh) {
        told.clear();
        hold(true);
        auto first = ask(fresh);
        hold(false);
        EXPECT_EQ(*first.find("complete"), EncodableValue(false)) << "read in the background";
        EXPECT_TRUE(loop.runUntil([&] { return !told.empty() && told.back().complete; }, std::chrono::seconds(20)));
        auto answer = ask();
        const auto* list = answer.find("dates");
        return list && list->get<EncodableMap>() ? *list->get<EncodableMap>() : EncodableMap();
    }
    std::int64_t seconds(const EncodableMap& map, const std::string& path) {
        const auto* value = map.find(path);
        if (!value) return -1;
        if (const auto* small = value->get<std::int32_t>()) return *small;
        return value->get<std::int64_t>() ? *value->get<std::int64_t>() : -2;
    }
    int headReads() {
        int reads = 0;
        for (const char* path : {"DCIM/IMG_1.JPG", "DCIM/IMG_2.JPG", "DCIM/IMG_3.JPG", "DCIM/IMG_3.XMP"})
            reads += card->reads(path);
        return reads;
    }
};

TEST_F(DeviceDatesTest, EveryDateIsReadOnceAndKeptUntilItsItemChanges) {
    card->put("DCIM/IMG_1.JPG", "taken 1500000000", 1'600'000'000);
    card->put("DCIM/IMG_2.JPG", "no date here", 1'600'000'100);
    card->put("DCIM/IMG_3.JPG", "taken 1400000000", 1'600'000'200);
    card->put("DCIM/IMG_3.XMP", "taken 1", 1'600'000'200);

    auto first = complete(true);
    EXPECT_EQ(first.size(), 2u) << "only the items that say when they were taken";
    EXPECT_EQ(seconds(first, "DCIM/IMG_1.JPG"), 1500000000);
    EXPECT_EQ(seconds(first, "DCIM/IMG_3.JPG"), 1400000000);
    EXPECT_EQ(card->reads("DCIM/IMG_3.XMP"), 0) << "a sidecar is not read";
    EXPECT_EQ(told.back().done, 3);
    EXPECT_EQ(told.back().total, 3);
    int readOnce = headReads();
    EXPECT_EQ(readOnce, 3);

    // Asked again without "fresh": the same reading answers.
    EXPECT_EQ(*ask().find("complete"), EncodableValue(true));
    EXPECT_EQ(headReads(), readOnce);

    // The device again, as after a restart: nothing unchanged is read twice;
    // a file rewritten with another size, or with another time, is.
    settle();
    dates = make();
    card->put("DCIM/IMG_1.JPG", "taken 1500000999 and more", 1'600'000'000);
    card->put("DCIM/IMG_2.JPG", "taken 1300000000", 1'600'000'500);
    auto again = complete(true);
    EXPECT_EQ(seconds(again, "DCIM/IMG_1.JPG"), 1500000999);
    EXPECT_EQ(seconds(again, "DCIM/IMG_2.JPG"), 1300000000);
    EXPECT_EQ(seconds(again, "DCIM/IMG_3.JPG"), 1400000000) << "kept, not read";
    EXPECT_EQ(headReads(), readOnce + 2);

    // A fresh reading asked while one runs does not start another.
    settle();
    dates = make();
    told.clear();
    card->put("DCIM/MORE.JPG", "taken 7");
    std::atomic<bool> release{false};
    card->afterRead = [&](const std::string&) {
        while (!release) std::this_thread::yield();
    };
    ask(true);
    EXPECT_EQ(*ask(true).find("complete"), EncodableValue(false));
    release = true;
    EXPECT_TRUE(loop.runUntil([&] { return !told.empty() && told.back().complete; }, std::chrono::seconds(20)));
    settle();
    EXPECT_EQ(card->reads("DCIM/MORE.JPG"), 1);
}

TEST_F(DeviceDatesTest, ADeviceThatGoesStopsItsReadingAndIsNotTold) {
    for (int i = 0; i < 100; ++i) card->put("DCIM/IMG_" + std::to_string(i) + ".JPG", "taken " + std::to_string(i));
    std::atomic<int> read{0};
    std::atomic<bool> gone{false};
    card->afterRead = [&](const std::string&) {
        // The device leaves once a few heads are read; no read ends before it has.
        int n = ++read;
        if (n == 5)
            loop.post([&] {
                dates->forget("volume", "/card");
                gone = true;
            });
        while (n >= 5 && !gone) std::this_thread::yield();
    };
    ask(true);
    EXPECT_TRUE(loop.runUntil([&] { return gone.load(); }, std::chrono::seconds(20)));
    settle();
    loop.runUntil([] { return false; }, std::chrono::milliseconds(50));  // what the readers told, heard
    for (const auto& progress : told) EXPECT_FALSE(progress.complete);
    EXPECT_LE(read.load(), 5 + DeviceDates::kReaders) << "each reader stops at its next item";
    // Nothing of the stopped reading was kept.
    EXPECT_TRUE(history->captureTimes(card->identity()).empty());
}

}  // namespace
}  // namespace lumivane
