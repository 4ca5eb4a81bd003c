// The rules only the import engine holds, over a device in memory and a
// history in a temporary folder: when a device's file may be deleted, what a
// resume copies, what interrupts a job, what a retry makes.
#include "bridges/import/import_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "bridges/import/testing/fake_import_source.h"
#include "bridges/import/testing/no_metadata.h"
#include "channel/arguments.h"
#include "runtime/read_file.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> filesBelow(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored); it != fs::recursive_directory_iterator(); ++it)
        if (!it->is_directory()) found.push_back(fs::relative(it->path(), folder));
    std::sort(found.begin(), found.end());
    return found;
}

struct Job : ::testing::Test {
    TempFolder home;
    Log log = Log::capturing();
    MainLoop loop;
    SystemClock clock;
    NoPhotoMetadata photos;
    NoVideoFrames videos;
    std::unique_ptr<ImportHistory> history;
    std::shared_ptr<EventHandler> events = std::make_shared<EventHandler>(loop);
    std::shared_ptr<FakeImportSource> card = std::make_shared<FakeImportSource>();
    std::string destination = home / "Pictures";
    std::shared_ptr<ImportJob> running;  // the job run() runs, for hooks that act on it

    void SetUp() override {
        fs::create_directories(destination);
        auto opened = ImportHistory::open(home / "history.sqlite", log);
        ASSERT_TRUE(opened.ok());
        history = std::move(opened.value());
    }

    ImportRequest request() {
        ImportRequest asked;
        asked.kind = "volume";
        asked.id = "/card";
        asked.destination = destination;
        return asked;
    }

    // Runs job `id` to its end (recorded first on a first run); its end state.
    std::string run(const ImportRequest& asked, const std::string& id, bool firstRun = true) {
        ImportHistory::Job record{
            id, 0, JobState::running, asked.toJson(), asked.kind, asked.id, card->identity(), card->name(), ""};
        if (firstRun) {
            EXPECT_TRUE(history->addJob(record).ok());
        }
        auto plan = asked.plan(id, card->name());
        EXPECT_TRUE(plan.ok());
        running = std::make_shared<ImportJob>(ImportJob::Setup{*history, {photos, videos}, events, clock}, record,
                                              asked, card, std::move(plan.value()));
        std::promise<JobState> ended;
        std::vector<std::thread> workers;
        // Every worker is spawned from within run(), before it returns.
        running->run(
            firstRun, 2, [&](std::function<void()> work) { workers.emplace_back(std::move(work)); },
            [&](JobState state) { ended.set_value(state); });
        auto state = ended.get_future().get();
        for (auto& worker : workers) worker.join();
        return textOf(state);
    }

    std::map<std::string, ImportHistory::Item> items(const std::string& id) {
        std::map<std::string, ImportHistory::Item> byPath;
        for (auto& item : history->items(id)) byPath[item.item.path] = item;
        return byPath;
    }
    std::string reasonOf(const std::string& id) { return history->job(id)->reason; }
};

TEST_F(Job, DeletesAfterImportOnlyAFileStillHoldingTheVerifiedBytes) {
    struct Case {
        const char* what;
        bool deletable;
        bool verify;
        std::function<void(FakeImportSource&)> afterRead;  // what happens to the file once read
        bool deleted;
    };
    const Case cases[] = {
        {"unchanged", true, true, nullptr, true},
        {"unchanged, verification not asked (a deletion verifies anyway)", true, false, nullptr, true},
        {"rewritten in place at the same size and time", true, true,
         [](FakeImportSource& card) { card.rewriteInPlace("DCIM/A.JPG", "other bytes, same size!"); }, false},
        {"replaced by another file with the same bytes", true, true,
         [](FakeImportSource& card) { card.put("DCIM/A.JPG", "the bytes of photo A...."); }, false},
        {"a device that deletes nothing (a phone)", false, true, nullptr, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        card = std::make_shared<FakeImportSource>(c.deletable);
        card->put("DCIM/A.JPG", "the bytes of photo A....");
        std::atomic<bool> once = false;
        card->afterRead = [&](const std::string&) {
            if (c.afterRead && !once.exchange(true)) c.afterRead(*card);
        };
        auto asked = request();
        asked.deleteAfter = true;
        asked.verify = c.verify;
        asked.onlyNew = false;
        auto id = "job-" + std::to_string(++n);
        EXPECT_EQ(run(asked, id), "done");
        auto item = items(id)["DCIM/A.JPG"];
        EXPECT_EQ(item.state, ItemState::imported);
        EXPECT_EQ(card->has("DCIM/A.JPG"), !c.deleted);
        if (c.deletable && !c.deleted) {
            EXPECT_NE(item.reason.find("not deleted from the device"), std::string::npos);
        }
        std::ifstream copy(item.path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "the bytes of photo A....");
    }
}

TEST_F(Job, AResumedJobWhoseItemsWereNeverRecordedListsItsSourceAgain) {
    for (const char* name : {"DCIM/A.JPG", "DCIM/B.JPG", "DCIM/B.XMP"})
        card->put(name, std::string("bytes of ") + name);
    auto asked = request();
    // Recorded, then interrupted before its listing was (the history full).
    ImportHistory::Job record{"job-1", 0, JobState::interrupted, asked.toJson(), "volume", "/card", card->identity(),
                              "",      ""};
    ASSERT_TRUE(history->addJob(record).ok());
    EXPECT_EQ(run(asked, "job-1", false), "done");
    auto counts = history->counts("job-1");
    EXPECT_EQ(counts.total, 3);
    EXPECT_EQ(counts.imported, 3);
    EXPECT_EQ(filesBelow(destination), (std::vector<std::string>{"A.JPG", "B.JPG", "B.XMP"}));
}

TEST_F(Job, ADestinationThatGoesInterruptsTheJobAndAResumeCopiesWhatWasLost) {
    struct Case {
        const char* what;
        std::function<void(const std::string& destination, const std::string& elsewhere)> lose;
        std::function<void(const std::string& destination)> restore;
    };
    const Case cases[] = {
        {"removed",
         [](const std::string& d, const std::string&) {
             // Workers may be writing in it meanwhile: removed again until gone.
             std::error_code busy;
             for (int i = 0; i < 100 && fs::exists(d); ++i) fs::remove_all(d, busy);
         },
         [](const std::string& d) { fs::create_directories(d); }},
        {"swapped for a link to another folder",
         [](const std::string& d, const std::string& elsewhere) {
             fs::rename(d, d + ".old");
             fs::create_directory_symlink(elsewhere, d);
         },
         [](const std::string& d) {
             fs::remove(d);
             fs::remove_all(d + ".old");
             fs::create_directories(d);
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(destination);
        fs::create_directories(destination);
        auto elsewhere = home / ("elsewhere-" + std::to_string(n));
        fs::create_directories(elsewhere);
        card = std::make_shared<FakeImportSource>();
        // Other photos than the last case's, which "only new" would skip.
        for (int i = 0; i < 12; ++i)
            card->put("DCIM/IMG_" + std::to_string(100 + i) + ".JPG", "photo " + std::to_string(i), 1.6e9 + n * 1000);
        std::atomic<int> read = 0;  // counted by every worker
        card->afterRead = [&](const std::string&) {
            if (++read == 3) c.lose(destination, elsewhere);
        };
        auto id = "job-" + std::to_string(++n);
        EXPECT_EQ(run(request(), id), "interrupted");
        EXPECT_EQ(reasonOf(id), "The folder " + destination + " is gone.");
        for (const auto& [path, item] : items(id))
            EXPECT_NE(item.state, ItemState::failed) << path << ": " << item.reason;
        EXPECT_EQ(filesBelow(elsewhere), std::vector<std::string>{}) << "copies went through the link";

        c.restore(destination);
        card->afterRead = nullptr;
        EXPECT_EQ(run(request(), id, false), "done");
        EXPECT_EQ(history->counts(id).imported, 12);
        EXPECT_EQ(filesBelow(destination).size(), 12u) << "a copy lost with its folder was not made again";
    }
}

TEST_F(Job, ADeviceThatLeavesInterruptsTheJobWithItsItemsPending) {
    for (int i = 0; i < 8; ++i) card->put("DCIM/IMG_" + std::to_string(i) + ".JPG", "photo " + std::to_string(i));
    std::atomic<int> read = 0;  // counted by every worker
    card->afterRead = [&](const std::string&) {
        if (++read == 2) running->deviceLeft();
    };
    EXPECT_EQ(run(request(), "job-1"), "interrupted");
    EXPECT_EQ(reasonOf("job-1"), "Fake card went away.");
    auto counts = history->counts("job-1");
    EXPECT_LT(counts.imported, 8);
    EXPECT_EQ(counts.failed + counts.skipped, 0);
    card->afterRead = nullptr;
    EXPECT_EQ(run(request(), "job-1", false), "done");
    EXPECT_EQ(history->counts("job-1").imported, 8);
    EXPECT_EQ(filesBelow(destination).size(), 8u);
}

TEST_F(Job, ARetryAfterAFailedBackupMakesOnlyTheBackup) {
    auto backup = home / "Backup";
    fs::create_directories(backup);
    std::ofstream(backup + "/2020") << "a file where the backup's year folder goes";
    for (const char* name : {"DCIM/A.JPG", "DCIM/B.JPG"}) card->put(name, std::string("bytes of ") + name);
    auto asked = request();
    asked.subfolders = "{YYYY}";
    asked.backup = backup;
    EXPECT_EQ(run(asked, "job-1"), "done");
    for (const auto& [path, item] : items("job-1")) {
        EXPECT_EQ(item.state, ItemState::failed) << path;
        EXPECT_NE(item.reason.find("its backup failed"), std::string::npos) << item.reason;
    }
    EXPECT_EQ(filesBelow(destination), (std::vector<std::string>{"2020/A.JPG", "2020/B.JPG"}));

    fs::remove(backup + "/2020");
    EXPECT_EQ(run(asked, "job-2"), "done");
    for (const auto& [path, item] : items("job-2"))
        EXPECT_EQ(item.state, ItemState::imported) << path << ": " << item.reason;
    EXPECT_EQ(filesBelow(destination), (std::vector<std::string>{"2020/A.JPG", "2020/B.JPG"})) << "copied twice";
    EXPECT_EQ(filesBelow(backup), (std::vector<std::string>{"2020/A.JPG", "2020/B.JPG"}));
    EXPECT_EQ(card->reads("DCIM/A.JPG"), 1);

    // Whole now: a third import skips them.
    EXPECT_EQ(run(asked, "job-3"), "done");
    EXPECT_EQ(history->counts("job-3").skipped, 2);
}

TEST_F(Job, AnItemNamedBringsItsTwinAndSidecarsUnlessAskedNotTo) {
    for (const char* name : {"DCIM/A.JPG", "DCIM/A.CR2", "DCIM/A.XMP", "DCIM/A.CR2.xmp", "DCIM/B.JPG", "OTHER/A.AAE"})
        card->put(name, std::string("bytes of ") + name);
    struct Case {
        bool companions;
        std::vector<std::string> copied;
    };
    const Case cases[] = {
        {true, {"A.CR2", "A.CR2.xmp", "A.JPG", "A.XMP"}},
        {false, {"A.JPG"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.companions);
        fs::remove_all(destination);
        fs::create_directories(destination);
        auto asked = request();
        asked.items = std::vector<std::string>{"DCIM/A.JPG", "DCIM/A.JPG"};
        asked.companions = c.companions;
        asked.onlyNew = false;
        EXPECT_EQ(run(asked, "job-" + std::to_string(++n)), "done");
        EXPECT_EQ(filesBelow(destination), c.copied);
    }
}

TEST_F(Job, ARatingGoesIntoTheCopysSidecarOnlyAndIsForgottenOnceThere) {
    auto backup = home / "Backup";
    fs::create_directories(backup);
    std::ofstream(destination + "/E.xmp") << "someone's own notes";
    card->put("DCIM/A.CR2", "raw A");
    card->put("DCIM/A.XMP", "camera's xmp\n");
    card->put("DCIM/B.JPG", "photo B");
    card->put("DCIM/C.JPG", "photo C");
    card->put("DCIM/C.XMP", "bad xmp");
    card->put("DCIM/D.JPG", "photo D");
    card->put("DCIM/E.JPG", "photo E");
    card->put("DCIM/F.JPG", "photo F");
    card->put("DCIM/G.CR2", "raw G");
    card->put("DCIM/G.JPG", "photo G");
    auto listed = card->list().value();
    auto itemOf = [&](const std::string& path) {
        return *std::find_if(listed.begin(), listed.end(), [&](const ImportItem& item) { return item.path == path; });
    };
    auto changed = itemOf("DCIM/D.JPG");
    changed.size += 1;  // rated before the card was written again
    ASSERT_TRUE(history
                    ->rate(card->identity(), {{itemOf("DCIM/A.CR2"), {3, 1}},
                                              {itemOf("DCIM/B.JPG"), {0, -1}},
                                              {itemOf("DCIM/C.JPG"), {5, 0}},
                                              {changed, {2, 0}},
                                              {itemOf("DCIM/E.JPG"), {1, 0}},
                                              {itemOf("DCIM/G.JPG"), {2, 0}}})
                    .ok());
    auto asked = request();
    asked.backup = backup;
    ASSERT_EQ(run(asked, "job-1"), "done");

    struct Case {
        const char* what;
        std::string sidecar;  // in the destination and the backup; "" for none
        std::string holds;
        bool keptByHost;
    };
    const Case cases[] = {
        {"its own sidecar, copied, then rated", "A.XMP", "camera's xmp\nrated 3 1\n", false},
        {"no sidecar: a new one", "B.xmp", "rated 0 -1\n", false},
        {"a sidecar that is no XMP stays as it came", "C.XMP", "bad xmp", true},
        {"a rating of another file of that name", "D.xmp", "", true},
        {"a file of the sidecar's name already there", "E.xmp", "someone's own notes", true},
        {"no rating", "F.xmp", "", false},
        {"rated on the twin the job does not lead with", "G.xmp", "rated 2 0\n", false},
    };
    auto kept = history->ratings(card->identity());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(readFile(destination + "/" + c.sidecar, 1 << 20).value_or(""), c.holds);
        if (c.sidecar != "E.xmp") EXPECT_EQ(readFile(backup + "/" + c.sidecar, 1 << 20).value_or(""), c.holds);
        bool keptByHost = std::any_of(kept.begin(), kept.end(), [&](const ImportHistory::Rated& rated) {
            return rated.item.path == "DCIM/" + c.sidecar.substr(0, 1) + (c.sidecar[0] == 'A' ? ".CR2" : ".JPG");
        });
        EXPECT_EQ(keptByHost, c.keptByHost);
    }
    EXPECT_EQ(card->bytes("DCIM/A.XMP"), "camera's xmp\n") << "the original is never touched";
}

TEST_F(Job, OnlyNewKnowsAFileByItsNameSizeAndTimeTogether) {
    card->put("DCIM/IMG_0001.JPG", "first card's photo", 1'600'000'000);
    EXPECT_EQ(run(request(), "job-1"), "done");
    // The card formatted and the name used again for another photo.
    card->put("DCIM/IMG_0001.JPG", "second card's photo!", 1'700'000'000);
    EXPECT_EQ(run(request(), "job-2"), "done");
    EXPECT_EQ(history->counts("job-2").imported, 1);
    EXPECT_EQ(filesBelow(destination), (std::vector<std::string>{"IMG_0001 1.JPG", "IMG_0001.JPG"}));
    EXPECT_EQ(run(request(), "job-3"), "done");
    EXPECT_EQ(history->counts("job-3").skipped, 1);
}

TEST(ImportHistory, ALinkInItsPlaceIsSetAsideNeverWrittenThrough) {
    TempFolder home;
    std::ofstream(home / "someone-elses.db").flush();
    fs::create_symlink(home / "someone-elses.db", home / "history.sqlite");
    Log log = Log::capturing();
    auto history = ImportHistory::open(home / "history.sqlite", log);
    ASSERT_TRUE(history.ok());
    ASSERT_TRUE(
        history.value()->addJob({"job-1", 0, JobState::running, "{}", "volume", "/card", "fake:1", "Card", ""}).ok());
    EXPECT_EQ(fs::file_size(home / "someone-elses.db"), 0u);
    EXPECT_FALSE(fs::is_symlink(home / "history.sqlite"));
    EXPECT_TRUE(log.contains("could not be read"));
}

TEST_F(Job, ARequestsDefaultsAreTheSafeOnes) {
    EncodableValue arguments(
        EncodableMap{{"source", EncodableMap{{"kind", "volume"}, {"id", "/card"}}}, {"destination", destination}});
    auto asked = ImportRequest::fromArguments(Arguments(arguments));
    ASSERT_TRUE(asked.ok());
    EXPECT_TRUE(asked.value().verify);
    EXPECT_TRUE(asked.value().onlyNew);
    EXPECT_TRUE(asked.value().companions);
    EXPECT_FALSE(asked.value().deleteAfter);
    EXPECT_FALSE(asked.value().skipDuplicates);
    // Kept in the journal as asked, and read back the same.
    auto again = ImportRequest::fromJson(asked.value().toJson());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().toJson(), asked.value().toJson());
    // Nothing leaves a device unless read back from the disk first.
    asked.value().verify = false;
    asked.value().deleteAfter = true;
    EXPECT_TRUE(asked.value().plan("job-1", "Card").value().verify);
}

TEST_F(Job, AShootsNameAndAClockShiftNameTheCopies) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    card->put("DCIM/IMG_1.JPG", "a photo", 1'600'000'000);  // 2020-09-13 12:26:40 UTC
    auto asked = request();
    asked.subfolders = "{job}";
    asked.rename = "{YYYY}{MM}{DD}_{hh}{mm}_{name}";
    asked.shoot = "Smith/wedding";
    asked.clockShift = -90;  // the camera ran an hour and a half ahead
    EXPECT_EQ(run(asked, "job-1"), "done");
    EXPECT_EQ(filesBelow(destination), (std::vector<std::string>{"Smith_wedding/20200913_1056_IMG_1.JPG"}));

    // What a request may carry, and what it must.
    auto from = [&](EncodableMap extra) {
        EncodableMap args{{"source", EncodableMap{{"kind", "volume"}, {"id", "/card"}}},
                          {"destination", destination},
                          {"subfolders", "{job}"}};
        for (const auto& [key, value] : extra) args.set(key, value);
        EncodableValue value(args);
        auto parsed = ImportRequest::fromArguments(Arguments(value));
        return parsed.ok() ? parsed.value().plan("job-2", "Card").ok() : false;
    };
    const std::pair<EncodableMap, bool> cases[] = {
        {{{"shoot", "Smith wedding"}}, true},
        {{{"shoot", "Smith wedding"}, {"clockShift", std::int64_t{30 * 24 * 60}}}, true},
        {{}, false},  // {job} with no shoot
        {{{"shoot", ""}}, false},
        {{{"shoot", std::string(101, 'x')}}, false},
        {{{"shoot", "line\nbreak"}}, false},
        {{{"shoot", 7}}, false},
        {{{"shoot", "x"}, {"clockShift", std::int64_t{30 * 24 * 60 + 1}}}, false},
        {{{"shoot", "x"}, {"clockShift", 1.5}}, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(from(cases[i].first), cases[i].second) << "case " << i;
    // Kept in the journal for a resume.
    auto again = ImportRequest::fromJson(asked.toJson());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().shoot, "Smith/wedding");
    EXPECT_EQ(again.value().clockShift, -90);
}

TEST_F(Job, TwinsAndSidecarsTakeTheLeadersNewName) {
    for (const char* name : {"DCIM/IMG_1.CR2", "DCIM/IMG_1.JPG", "DCIM/IMG_1.CR2.xmp", "DCIM/IMG_1.XMP"})
        card->put(name, std::string("bytes of ") + name);
    auto asked = request();
    asked.rename = "{name}_{seq}";
    EXPECT_EQ(run(asked, "job-1"), "done");
    EXPECT_EQ(filesBelow(destination),
              (std::vector<std::string>{"IMG_1_1.CR2", "IMG_1_1.CR2.xmp", "IMG_1_1.JPG", "IMG_1_1.XMP"}));
    auto counts = history->counts("job-1");
    EXPECT_EQ(counts.imported, 4);
    EXPECT_EQ(counts.failed + counts.skipped, 0);
    // The journal noted each name whole before it was taken, as a resume looks for it.
    for (const auto& [path, item] : items("job-1")) EXPECT_EQ(item.intent, item.path) << path;
}

TEST_F(Job, AResumeTrustsOnlyACopyWithTheRecordedBytesAndMakesItsBackups) {
    auto backup = home / "Backup";
    fs::create_directories(backup);
    for (const char* name : {"DCIM/A.JPG", "DCIM/B.JPG", "DCIM/C.JPG"})
        card->put(name, std::string("bytes of ") + name);
    auto asked = request();
    asked.backup = backup;
    // The first copy made, then the device gone; the journal as a host
    // killed just after A's copy took its name leaves it.
    std::atomic<int> read = 0;  // counted by every worker
    card->afterRead = [&](const std::string&) {
        if (++read == 1) running->deviceLeft();
    };
    EXPECT_EQ(run(asked, "job-1"), "interrupted");
    card->afterRead = nullptr;
    auto a = items("job-1")["DCIM/A.JPG"];
    auto b = items("job-1")["DCIM/B.JPG"];
    if (a.state != ItemState::imported) std::swap(a, b);  // whichever the workers took first
    ASSERT_EQ(a.state, ItemState::imported);
    auto intended = a.path;
    a.state = ItemState::pending;
    a.intent = intended;
    a.path.clear();
    ASSERT_TRUE(history->forgetCopy("job-1", a, card->identity()).ok());
    ASSERT_TRUE(history->setIntent("job-1", a.seq, a.hash, intended).ok());
    fs::remove(backup + "/" + fs::path(intended).filename().string());
    // A file of the same size under C's intended name that is not C.
    auto c = items("job-1")["DCIM/C.JPG"];
    std::ofstream(destination + "/C.JPG") << std::string(c.item.size, 'x');
    ASSERT_TRUE(history->setIntent("job-1", c.seq, "0123456789abcdef0123456789abcdef", destination + "/C.JPG").ok());

    EXPECT_EQ(run(asked, "job-1", false), "done");
    EXPECT_EQ(history->counts("job-1").imported, 3);
    EXPECT_EQ(filesBelow(destination), (std::vector<std::string>{"A.JPG", "B.JPG", "C 1.JPG", "C.JPG"}))
        << "the found copy was copied again, or the stranger taken for C";
    EXPECT_EQ(items("job-1")["DCIM/C.JPG"].path, destination + "/C 1.JPG");
    EXPECT_EQ(filesBelow(backup), (std::vector<std::string>{"A.JPG", "B.JPG", "C 1.JPG"}));
}

TEST_F(Job, SkipDuplicatesSkipsOnlyTheSameBytes) {
    std::ofstream(destination + "/old.jpg") << "twelve bytes";
    fs::create_directories(destination + "/sub");
    std::ofstream(destination + "/sub/other.jpg") << "same as card";
    card->put("DCIM/SAME.JPG", "same as card");
    card->put("DCIM/SIZE.JPG", "other bytes!");  // twelve bytes too
    auto asked = request();
    asked.skipDuplicates = true;
    EXPECT_EQ(run(asked, "job-1"), "done");
    EXPECT_EQ(items("job-1")["DCIM/SAME.JPG"].state, ItemState::skipped);
    EXPECT_EQ(items("job-1")["DCIM/SIZE.JPG"].state, ItemState::imported);
}

}  // namespace
}  // namespace lumivane
