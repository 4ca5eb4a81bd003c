// The history's memory of jobs and counts, against its file.
#include "bridges/import/import_history.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

using Counts = ImportHistory::Counts;

std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t> asTuple(
    const Counts& counts) {
    return {counts.total, counts.imported, counts.skipped, counts.failed, counts.bytes, counts.totalBytes};
}

ImportHistory::Job jobMade(const std::string& id, double created) {
    return {id, created, JobState::running, "{}", "volume", "/card", "card:1", "Card", ""};
}

ImportHistory::Item itemAt(int seq, std::int64_t size, ItemState state, bool withCopy) {
    ImportHistory::Item item;
    item.seq = seq;
    item.item = {"DCIM/" + std::to_string(seq) + ".JPG", size, 100};
    item.state = state;
    if (withCopy) item.path = "/photos/" + std::to_string(seq) + ".JPG", item.hash = "hash" + std::to_string(seq);
    return item;
}

// A history in a temporary folder.
struct HistoryFile : ::testing::Test {
    TempFolder home;
    Log log = Log::capturing();
    std::string path = home / "history.sqlite";
    std::unique_ptr<ImportHistory> opened = ImportHistory::open(path, log).value();
    ImportHistory& history = *opened;
};

TEST_F(HistoryFile, TheJobsAndCountsItKeepsInMemoryAreTheFilesAfterEveryChange) {
    // Made out of order: listed newest first all the same.
    for (auto [id, created] : {std::pair{"job-b", 9.0}, std::pair{"job-a", 5.0}, std::pair{"job-c", 7.0}})
        ASSERT_TRUE(history.addJob(jobMade(id, created)).ok());
    ASSERT_TRUE(
        history.addItems("job-b", {{"DCIM/1.JPG", 10, 100}, {"DCIM/2.JPG", 20, 100}, {"DCIM/3.JPG", 30, 100}}).ok());
    struct Step {
        const char* what;
        std::function<Result<void>()> change;
        std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t> counts;
    };
    const Step steps[] = {
        {"listed", [] { return Result<void>(); }, {3, 0, 0, 0, 0, 60}},
        {"one imported",
         [&] { return history.finishItem("job-b", itemAt(1, 10, ItemState::imported, true), "card:1", 1); },
         {3, 1, 0, 0, 10, 60}},
        {"one skipped",
         [&] { return history.finishItem("job-b", itemAt(2, 20, ItemState::skipped, false), "card:1", 1); },
         {3, 1, 1, 0, 10, 60}},
        {"one failed",
         [&] { return history.finishItem("job-b", itemAt(3, 30, ItemState::failed, false), "card:1", 1); },
         {3, 1, 1, 1, 10, 60}},
        {"the failed one imported on retry",
         [&] { return history.finishItem("job-b", itemAt(3, 30, ItemState::imported, true), "card:1", 1); },
         {3, 2, 1, 0, 40, 60}},
        {"a copy lost with its folder",
         [&] { return history.forgetCopy("job-b", itemAt(1, 10, ItemState::imported, true), "card:1"); },
         {3, 1, 1, 0, 30, 60}},
        {"the same outcome twice",
         [&] { return history.finishItem("job-b", itemAt(2, 20, ItemState::skipped, false), "card:1", 1); },
         {3, 1, 1, 0, 30, 60}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(step.change().ok());
        EXPECT_EQ(asTuple(history.counts("job-b")), step.counts);
        // What a host opening the file now would read.
        auto again = ImportHistory::open(path, log);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(asTuple(again.value()->counts("job-b")), step.counts);
    }
    ASSERT_TRUE(history.setJobState("job-b", JobState::interrupted, "The card went away.").ok());
    ASSERT_TRUE(history.interruptRunning().ok());
    auto reopened = ImportHistory::open(path, log);
    ASSERT_TRUE(reopened.ok());
    for (auto* each : {&history, reopened.value().get()}) {
        std::vector<std::pair<std::string, JobState>> listed;
        for (const auto& job : each->jobs()) listed.emplace_back(job.id, job.state);
        EXPECT_EQ(listed, (std::vector<std::pair<std::string, JobState>>{{"job-b", JobState::interrupted},
                                                                         {"job-c", JobState::interrupted},
                                                                         {"job-a", JobState::interrupted}}));
        EXPECT_EQ(each->job("job-b")->reason, "The card went away.");
        EXPECT_FALSE(each->job("job-z"));
        EXPECT_EQ(asTuple(each->counts("job-z")), asTuple(Counts{}));
    }
}

TEST_F(HistoryFile, JobsAndCountsAreAnsweredWhileAnotherProcessHoldsTheFile) {
    ASSERT_TRUE(history.addJob(jobMade("job-1", 1)).ok());
    ASSERT_TRUE(history.addItems("job-1", {{"DCIM/1.JPG", 10, 100}}).ok());
    // Another program (a backup tool, a curious person's sqlite3) writes to
    // the file; the job's next write waits for it, holding the connection.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; UPDATE jobs SET reason='x';", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        (void)history.finishItem("job-1", itemAt(1, 10, ItemState::skipped, false), "card:1", 1);
        written = true;
    });
    // Gives the write a head start into its wait; answers that waited for it
    // would come only after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto job = history.job("job-1");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->state, JobState::running);
    EXPECT_EQ(history.jobs().size(), 1u);
    EXPECT_EQ(history.counts("job-1").total, 1);
    EXPECT_FALSE(written) << "the answers waited for the write";
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    writer.join();
}

// The files left beside the history: the moved-aside ones.
int setAside(const TempFolder& folder) {
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        aside += entry.path().filename().string().find(".corrupt-") != std::string::npos;
    return aside;
}

TEST(HistoryOpen, OnlyADamagedHistoryIsMovedAsideAndOneThatCannotBeOpenedForNowIsKept) {
    struct Case {
        const char* what;
        // Damages or holds the file at `path`; what it returns is let go after the open.
        std::function<std::function<void()>(const std::string& path)> meddle;
        bool opens;
        int aside;
    };
    const Case cases[] = {
        {"untouched", [](const std::string&) { return [] {}; }, true, 0},
        {"not a database",
         [](const std::string& path) {
             std::remove((path + "-wal").c_str()), std::remove((path + "-shm").c_str());
             std::FILE* file = std::fopen(path.c_str(), "w");
             std::fputs("this is not a history, and never was one, but it is long enough to be read", file);
             std::fclose(file);
             return [] {};
         },
         true, 1},
        {"held by another program",
         [](const std::string& path) -> std::function<void()> {
             sqlite3* other = nullptr;
             EXPECT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
             EXPECT_EQ(
                 sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; UPDATE jobs SET reason='x';",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
             return [other] {
                 sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
                 sqlite3_close(other);
             };
         },
         false, 0},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        TempFolder home;
        Log log = Log::capturing();
        std::string path = home / "history.sqlite";
        {
            auto made = ImportHistory::open(path, log).value();
            ASSERT_TRUE(made->addJob(jobMade("job-1", 1)).ok());
        }
        auto letGo = each.meddle(path);
        auto opened = ImportHistory::open(path, log);
        letGo();
        EXPECT_EQ(opened.ok(), each.opens);
        EXPECT_EQ(setAside(home), each.aside);
        // A history kept in place still has its job.
        if (each.aside == 0) {
            EXPECT_TRUE(ImportHistory::open(path, log).value()->job("job-1"));
        }
    }
}

}  // namespace
}  // namespace lumivane
