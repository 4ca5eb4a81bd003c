// Import jobs through "lumivane/import" from a simulated card: date folders
// and names from capture times, only-new, backup and delete-after, bad
// requests, taken names, a host that stopped mid-job, a broken history.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "bridges/import/capture_dates.h"
#include "bridges/import/import_bridge.h"
#include "bridges/import/import_history.h"
#include "bridges/import/item_preview.h"
#include "channel/arguments.h"
#include "platform/common/process_runner.h"
#include "tests/support/host_harness.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

double mtime(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return static_cast<double>(info.st_mtim.tv_sec);
}

struct Import : ::testing::Test {
    std::unique_ptr<HostHarness> h;
    std::string card, destination;

    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        startHost();
        card = folder("CARD");
        destination = folder("Pictures");
        fs::create_directories(card + "/DCIM/100TEST");
        // A JPEG taken at 09:15:30 two hours east of UTC, its RAW twin and
        // its sidecar; a JPEG with no date (its file time counts); a video.
        photo("IMG_0001.JPG", "2021:07:04 09:15:30", "+02:00");
        std::ofstream(card + "/DCIM/100TEST/IMG_0001.CR2") << "raw bytes of the same shot";
        std::ofstream(card + "/DCIM/100TEST/IMG_0001.XMP") << "<x:xmpmeta/>";
        photo("IMG_0002.JPG", nullptr, nullptr);
        setTime("IMG_0002.JPG", 1500000000);  // 2017-07-14 02:40:00 UTC
        ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i color=c=red:s=64x48:d=0.2 -metadata "
                               "creation_time=2020-01-02T03:04:05Z '" +
                               card + "/DCIM/100TEST/MVI_0003.MOV'")
                                  .c_str()),
                  0);
        std::ofstream(card + "/DCIM/100TEST/notes.txt") << "not media";
        mount();
    }
    void TearDown() override {
        h.reset();
        ::unsetenv("TZ");
        ::tzset();
    }
    void startHost() {
        h = std::make_unique<HostHarness>();
        h->value("lumivane/import/events", "listen");
    }
    // The host quits and starts again over the same home and card.
    void restartHost() {
        h->restart();
        h->value("lumivane/import/events", "listen");
    }
    std::string folder(const std::string& name) {
        auto path = h->home / name;
        fs::create_directories(path);
        return path;
    }
    void photo(const std::string& name, const char* date, const char* offset) {
        auto path = card + "/DCIM/100TEST/" + name;
        // Made by the ffmpeg command: libvips in this process would hide the
        // host's own threads from ThreadSanitizer behind its GLib locks.
        ASSERT_EQ(
            std::system(("ffmpeg -v error -y -f lavfi -i color=c=blue:s=64x48 -frames:v 1 '" + path + "'").c_str()), 0);
        if (!date) return;
        std::string command = "exiftool -q -q -overwrite_original '-DateTimeOriginal=" + std::string(date) +
                              "' '-OffsetTimeOriginal=" + offset + "' '" + path + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    void setTime(const std::string& name, std::time_t seconds) {
        fs::last_write_time(card + "/DCIM/100TEST/" + name,
                            fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(seconds)));
    }
    void mount() {
        auto response = h->call("sim/control", "volume.mount",
                                EncodableMap{{"path", card},
                                             {"localizedName", "Card"},
                                             {"uuid", "4A2B-11C0"},
                                             {"removable", true},
                                             {"ejectable", true}});
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(response));
    }
    MethodResponse call(const std::string& method, EncodableMap args) {
        return h->call("lumivane/import", method, args);
    }
    EncodableMap request(EncodableMap extra = {}) {
        EncodableMap args{{"source", EncodableMap{{"kind", "volume"}, {"id", card}}}, {"destination", destination}};
        for (const auto& [key, value] : extra) args.set(key, value);
        return args;
    }
    // Starts a job and waits for its "done" event; its status.
    EncodableMap run(EncodableMap args) {
        auto started = call("import.start", std::move(args));
        auto* id = std::get_if<EncodableValue>(&started);
        auto* error = std::get_if<MethodError>(&started);
        EXPECT_TRUE(id && id->get<std::string>())
            << "import.start failed: " << (error ? error->message.value_or("") : "");
        if (!id || !id->get<std::string>()) return {};
        return waitFor(*id->get<std::string>());
    }
    EncodableMap waitFor(const std::string& job) {
        auto done = [&] {
            for (const auto& [channel, event] : h->events) {
                auto* value = std::get_if<EncodableValue>(&event);
                auto* map = value ? value->get<EncodableMap>() : nullptr;
                if (map && map->find("type") && *map->find("type") == EncodableValue("done") &&
                    *map->find("job") == EncodableValue(job))
                    return true;
            }
            return false;
        };
        h->loop.runUntil(done, std::chrono::seconds(60));
        EXPECT_TRUE(done()) << "no done event for " << job;
        auto status = h->value("lumivane/import", "import.status", EncodableMap{{"job", job}});
        return status.get<EncodableMap>() ? *status.get<EncodableMap>() : EncodableMap{};
    }
    static std::int64_t count(const EncodableMap& status, const char* key) {
        auto* value = status.find(key);
        if (value && value->get<std::int32_t>()) return *value->get<std::int32_t>();
        return value && value->get<std::int64_t>() ? *value->get<std::int64_t>() : -1;
    }
    static std::map<std::string, EncodableMap> items(const EncodableMap& status) {
        std::map<std::string, EncodableMap> byName;
        if (auto* list = status.find("items") ? status.find("items")->get<EncodableList>() : nullptr)
            for (const auto& item : *list) {
                const auto& map = *item.get<EncodableMap>();
                byName[fs::path(*map.find("source")->get<std::string>()).filename()] = map;
            }
        return byName;
    }
    static std::string text(const EncodableMap& map, const char* key) {
        auto* value = map.find(key);
        return value && value->get<std::string>() ? *value->get<std::string>() : "";
    }
};

}  // namespace

TEST_F(Import, CopiesIntoDateFoldersUnderCaptureTimeNamesThenOnlyNewSkipsThemAll) {
    auto status =
        run(request({{"subfolders", "{YYYY}/{YYYY}-{MM}-{DD}"}, {"rename", "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}"}}));
    EXPECT_EQ(text(status, "state"), "done");
    EXPECT_EQ(count(status, "total"), 5);
    EXPECT_EQ(count(status, "imported"), 5);
    auto byName = items(status);
    // The RAW leads its group (its name comes first); it has no date of its
    // own, so its file time names the group, and the JPEG and the sidecar
    // keep its stem.
    struct Expected {
        const char* source;
        std::string path;
    };
    auto rawTime = mtime(card + "/DCIM/100TEST/IMG_0001.CR2");
    std::time_t whole = static_cast<std::time_t>(rawTime);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char stem[64], folders[32];
    std::strftime(stem, sizeof stem, "%Y%m%d_%H%M%S_IMG_0001", &utc);
    std::strftime(folders, sizeof folders, "%Y/%Y-%m-%d", &utc);
    const Expected expected[] = {
        {"IMG_0001.CR2", destination + "/" + folders + "/" + stem + ".CR2"},
        {"IMG_0001.JPG", destination + "/" + folders + "/" + stem + ".JPG"},
        {"IMG_0001.XMP", destination + "/" + folders + "/" + stem + ".XMP"},
        {"IMG_0002.JPG", destination + "/2017/2017-07-14/20170714_024000_IMG_0002.JPG"},
        {"MVI_0003.MOV", destination + "/2020/2020-01-02/20200102_030405_MVI_0003.MOV"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.source);
        auto& item = byName[e.source];
        EXPECT_EQ(text(item, "state"), "imported");
        EXPECT_EQ(text(item, "path"), e.path);
        auto source = card + "/DCIM/100TEST/" + e.source;
        EXPECT_EQ(contents(e.path), contents(source));
        EXPECT_EQ(mtime(e.path), mtime(source));
    }
    EXPECT_FALSE(byName.count("notes.txt"));

    // A JPEG alone names itself from its EXIF time, in this machine's zone.
    fs::remove(card + "/DCIM/100TEST/IMG_0001.CR2");
    fs::remove(card + "/DCIM/100TEST/IMG_0001.XMP");
    auto second = run(request({{"rename", "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}"}, {"onlyNew", false}}));
    EXPECT_EQ(text(items(second)["IMG_0001.JPG"], "path"), destination + "/20210704_071530_IMG_0001.JPG");

    // Only new: everything was imported before, however it was named.
    auto again = run(request({{"subfolders", "elsewhere"}}));
    EXPECT_EQ(text(again, "state"), "done");
    EXPECT_EQ(count(again, "imported"), 0);
    EXPECT_EQ(count(again, "skipped"), 3);
    for (const auto& [name, item] : items(again)) {
        EXPECT_EQ(text(item, "state"), "skipped") << name;
        EXPECT_EQ(text(item, "reason").rfind("Already imported on ", 0), 0u) << name;
    }
    EXPECT_FALSE(fs::exists(destination + "/elsewhere"));

    auto list = h->value("lumivane/import", "import.list");
    ASSERT_TRUE(list.get<EncodableList>());
    ASSERT_EQ(list.get<EncodableList>()->size(), 3u);
    EXPECT_EQ(*list.get<EncodableList>()->front().get<EncodableMap>()->find("job"), *again.find("job"));
    EXPECT_EQ(list.get<EncodableList>()->front().get<EncodableMap>()->find("items"), nullptr);
}

TEST_F(Import, BacksUpEveryCopyAndDeletesFromTheCardOnlyAfterward) {
    auto backup = folder("Backup");
    auto status = run(request({{"backup", backup}, {"deleteAfter", true}, {"subfolders", "{YYYY}"}}));
    EXPECT_EQ(count(status, "imported"), 5);
    for (const auto& [name, item] : items(status)) {
        SCOPED_TRACE(name);
        auto path = text(item, "path"), copy = text(item, "backup");
        EXPECT_EQ(copy.substr(0, backup.size()), backup);
        EXPECT_EQ(copy.substr(backup.size()), path.substr(destination.size()));
        EXPECT_EQ(contents(copy), contents(path));
        EXPECT_FALSE(fs::exists(card + "/DCIM/100TEST/" + name));
    }
    EXPECT_TRUE(fs::exists(card + "/DCIM/100TEST/notes.txt"));
}

TEST_F(Import, TakenNamesMoveOnAndNothingIsReplaced) {
    std::ofstream(destination + "/IMG_0002.JPG") << "someone else's picture";
    auto status = run(request());
    EXPECT_EQ(text(items(status)["IMG_0002.JPG"], "path"), destination + "/IMG_0002 1.JPG");
    EXPECT_EQ(contents(destination + "/IMG_0002.JPG"), "someone else's picture");
    // Nothing half-written stays behind.
    for (const auto& entry : fs::directory_iterator(destination))
        EXPECT_EQ(entry.path().filename().string().find(".lumivane"), std::string::npos) << entry.path();
}

TEST_F(Import, ItemsAreTheLeadersWithTheirTwinsAndSidecars) {
    auto answer = h->value("lumivane/import", "import.items",
                           EncodableMap{{"source", EncodableMap{{"kind", "volume"}, {"id", card}}}});
    ASSERT_TRUE(answer.get<EncodableList>()) << ::testing::PrintToString(answer);
    std::vector<std::string> seen;
    for (const auto& entry : *answer.get<EncodableList>()) {
        const auto& item = *entry.get<EncodableMap>();
        auto line = fs::path(*item.find("path")->get<std::string>()).filename().string() + " " +
                    *item.find("kind")->get<std::string>() + ":";
        for (const auto& companion : *item.find("companions")->get<EncodableList>())
            line +=
                " " + fs::path(*companion.get<EncodableMap>()->find("path")->get<std::string>()).filename().string();
        seen.push_back(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"IMG_0001.CR2 raw: IMG_0001.JPG IMG_0001.XMP",
                                              "IMG_0002.JPG photo:", "MVI_0003.MOV video:"}));
    EXPECT_TRUE(std::holds_alternative<MethodError>(
        call("import.items", {{"source", EncodableMap{{"kind", "volume"}, {"id", h->home / "Pictures"}}}})));
}

TEST_F(Import, BadRequestsAreRefusedAtOnceAndStartNothing) {
    // A volume holding the home and the host's data (the system's own disk),
    // and an internal one, not removable.
    auto internal = folder("Internal");
    fs::create_directories(card + "/Backup");
    fs::create_directories(destination + "/Backup");
    for (const auto& [path, removable] : {std::pair{h->home.path(), false}, std::pair{internal, false}})
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(
            h->call("sim/control", "volume.mount",
                    EncodableMap{{"path", path}, {"removable", removable}, {"ejectable", false}, {"internal", true}})));
    struct Case {
        const char* why;
        EncodableMap extra;
    };
    const Case cases[] = {
        {"the volume holding the home and the data folder",
         {{"source", EncodableMap{{"kind", "volume"}, {"id", h->home.path()}}}}},
        {"deleting from an internal volume",
         {{"source", EncodableMap{{"kind", "volume"}, {"id", internal}}}, {"deleteAfter", true}}},
        {"a destination on the card", {{"destination", card + "/DCIM"}}},
        {"the card itself as the destination", {{"destination", card}}},
        {"a backup on the card", {{"backup", card + "/Backup"}}},
        {"a backup that is the destination", {{"backup", destination}}},
        {"the same backup spelt with a trailing slash", {{"backup", destination + "/"}}},
        {"a backup inside the destination", {{"backup", destination + "/Backup"}}},
        {"a destination inside the backup", {{"backup", h->home.path()}}},
        {"no destination folder", {{"destination", h->home / "missing"}}},
        {"a relative destination", {{"destination", "Pictures"}}},
        {"a folder template stepping up", {{"subfolders", "../{YYYY}"}}},
        {"a folder template stepping up later", {{"subfolders", "{YYYY}/../../x"}}},
        {"an absolute folder template", {{"subfolders", "/tmp/{YYYY}"}}},
        {"an empty folder part", {{"subfolders", "{YYYY}//{MM}"}}},
        {"a trailing slash", {{"subfolders", "{YYYY}/"}}},
        {"an unknown token", {{"subfolders", "{year}"}}},
        {"an unclosed token", {{"rename", "{name"}}},
        {"a name template with a folder", {{"rename", "{YYYY}/{name}"}}},
        {"an empty name template", {{"rename", ""}}},
        {"a missing backup folder", {{"backup", h->home / "nowhere"}}},
        {"an unknown kind", {{"source", EncodableMap{{"kind", "scanner"}, {"id", card}}}}},
        {"a volume not mounted", {{"source", EncodableMap{{"kind", "volume"}, {"id", h->home / "Pictures"}}}}},
        {"deleting from a phone", {{"source", EncodableMap{{"kind", "iphone"}, {"id", "x"}}}, {"deleteAfter", true}}},
        {"items of the wrong type", {{"items", "IMG_0001.JPG"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto response = call("import.start", request(c.extra));
        EXPECT_TRUE(std::holds_alternative<MethodError>(response));
    }
    auto list = h->value("lumivane/import", "import.list");
    ASSERT_TRUE(list.get<EncodableList>()) << ::testing::PrintToString(list);
    EXPECT_EQ(*list.get<EncodableList>(), EncodableList{});
    fs::remove(destination + "/Backup");  // the test's own, empty
    EXPECT_TRUE(fs::is_empty(destination));
    EXPECT_FALSE(fs::exists(h->home / "tmp"));
}

TEST_F(Import, AJobTheHostStoppedInResumesExactlyTheItemsNotDone) {
    // A first run imports two chosen items; the journal is then set back to
    // how a host killed mid-job leaves it: one item's copy in place but not
    // recorded, one not started, with a half copy left.
    auto first =
        run(request({{"items", EncodableList{card + "/DCIM/100TEST/IMG_0001.JPG", card + "/DCIM/100TEST/IMG_0002.JPG",
                                             card + "/DCIM/100TEST/MVI_0003.MOV"}},
                     {"companions", false}}));
    ASSERT_EQ(count(first, "imported"), 3);
    auto job = text(first, "job");
    auto copied = text(items(first)["IMG_0002.JPG"], "path");
    auto removed = text(items(first)["MVI_0003.MOV"], "path");
    auto dataFolder = *h->mac.platform().environment.applicationSupportDirectory() + "/com.lumivane.app";
    h->control.reset();
    h->host.reset();
    fs::remove(removed);
    std::ofstream(destination + "/.lumivane-import-" + job + "-3.lumivane-AbCdEf") << "half";
    {
        Log log = Log::capturing();
        auto history = ImportHistory::open(dataFolder + "/" + ImportBridge::kHistoryFile, log);
        ASSERT_TRUE(history.ok());
        auto& journal = *history.value();
        for (auto item : journal.items(job)) {
            if (item.seq == 1) continue;
            auto hash = item.hash, path = item.path;
            item.state = ItemState::pending;
            item.path.clear();
            // Only a recorded copy counts for "only new".
            ASSERT_TRUE(journal.finishItem(job, item, "", 0).ok());
            if (item.seq == 2) {
                ASSERT_TRUE(journal.setIntent(job, 2, hash, path).ok());
            }
        }
        ASSERT_TRUE(journal.setJobState(job, JobState::running).ok());
    }
    // The history's own copies table still says the two were imported; a
    // fresh history row set is what a kill leaves, so forget them there too.
    ASSERT_EQ(std::system(("sqlite3 '" + dataFolder + "/" + ImportBridge::kHistoryFile +
                           "' \"DELETE FROM copies WHERE source NOT LIKE '%IMG_0001.JPG'\"")
                              .c_str()),
              0);

    restartHost();
    auto before = h->value("lumivane/import", "import.status", EncodableMap{{"job", job}});
    EXPECT_EQ(text(*before.get<EncodableMap>(), "state"), "interrupted");
    auto resumed = call("import.resume", {{"job", job}});
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(resumed));
    auto status = waitFor(job);
    EXPECT_EQ(text(status, "state"), "done");
    EXPECT_EQ(count(status, "imported"), 3);
    auto byName = items(status);
    EXPECT_EQ(text(byName["IMG_0002.JPG"], "path"), copied);  // found, not copied twice
    EXPECT_EQ(text(byName["MVI_0003.MOV"], "path"), removed);
    EXPECT_EQ(contents(removed), contents(card + "/DCIM/100TEST/MVI_0003.MOV"));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(destination)) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "MVI_0003.MOV"}));
}

TEST_F(Import, AHistoryThatCannotBeReadIsSetAsideOnceAndImportsGoOn) {
    auto dataFolder = *h->mac.platform().environment.applicationSupportDirectory() + "/com.lumivane.app";
    auto file = dataFolder + "/" + ImportBridge::kHistoryFile;
    h->control.reset();
    h->host.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file + suffix);
    std::ofstream(file, std::ios::trunc) << std::string(8192, 'x');
    restartHost();
    auto status = run(request());
    EXPECT_EQ(count(status, "imported"), 5);
    int lines = 0, aside = 0;
    for (const auto& line : h->log.lines()) lines += line.find("Lumivane import history:") != std::string::npos;
    for (const auto& entry : fs::directory_iterator(dataFolder))
        aside += entry.path().filename().string().rfind(std::string(ImportBridge::kHistoryFile) + ".corrupt-", 0) == 0;
    EXPECT_EQ(lines, 1) << ::testing::PrintToString(h->log.lines());
    EXPECT_EQ(aside, 1);
}

namespace {

// Polls `ask` (a call on the host) until `ready` holds for its answer.
bool until(HostHarness& h, const std::function<bool()>& ready) {
    for (int i = 0; i < 3000 && !ready(); ++i) h.loop.runUntil([] { return false; }, std::chrono::milliseconds(10));
    return ready();
}

}  // namespace

TEST_F(Import, APhoneUnpluggedMidJobResumesByItselfWhenItReturnsWithNoItemTwice) {
    auto roll = folder("phone/DCIM/100APPLE");
    for (int i = 1; i <= 6; ++i)
        fs::copy_file(card + "/DCIM/100TEST/IMG_0002.JPG", roll + "/IMG_000" + std::to_string(i) + ".JPG");
    const std::string udid = "00008110-IMPORT";
    auto control = [&](const std::string& method, EncodableMap args) {
        args.set("udid", udid);
        auto response = h->call("sim/control", method, args);
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(response)) << method;
    };
    control("phone.add", {{"name", "Ada's iPhone"}, {"root", h->home / "phone"}});
    control("phone.attach", {{"link", "usb"}});
    // The name is read after the phone is first listed ("iphones"); its
    // "arrived" says it is ready, and by then the list has its name.
    auto arrivals = [&] {
        int n = 0;
        EncodableValue source(EncodableMap{{"kind", "iphone"}, {"id", udid}});
        for (const auto& [channel, event] : h->events) {
            auto* value = std::get_if<EncodableValue>(&event);
            auto* map = value ? value->get<EncodableMap>() : nullptr;
            n += map && map->find("type") && *map->find("type") == EncodableValue("arrived") && map->find("source") &&
                 *map->find("source") == source;
        }
        return n;
    };
    ASSERT_TRUE(until(*h, [&] { return arrivals() > 0; }));
    auto list = h->value("lumivane/macos", "iphone.list");
    const auto* phones = list.get<EncodableList>();
    const auto* phone = phones && !phones->empty() ? (*phones)[0].get<EncodableMap>() : nullptr;
    ASSERT_TRUE(phone && phone->find("name"));
    EXPECT_EQ(*phone->find("name"), EncodableValue("Ada's iPhone"));
    // A read a few photos in fails as the cable comes out.
    control("phone.fault", {{"op", "read"}, {"code", 26}, {"nth", 5}, {"detach", true}});
    auto first = run({{"source", EncodableMap{{"kind", "iphone"}, {"id", udid}}},
                      {"destination", destination},
                      {"autoResume", true}});
    EXPECT_EQ(text(first, "state"), "interrupted");
    EXPECT_LT(count(first, "imported"), 6);
    for (const auto& [name, item] : items(first))
        EXPECT_NE(text(item, "state"), "failed") << name << ": " << text(item, "reason");
    auto job = text(first, "job");

    h->events.clear();
    control("phone.attach", {{"link", "usb"}});
    auto status = waitFor(job);
    EXPECT_EQ(text(status, "state"), "done");
    EXPECT_EQ(count(status, "imported"), 6);
    EXPECT_EQ(text(status, "device"), "Ada's iPhone");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(destination)) names.insert(entry.path().filename());
    EXPECT_EQ(names.size(), 6u);
    for (const auto& [name, item] : items(status)) EXPECT_EQ(contents(text(item, "path")), contents(roll + "/" + name));
    // Phones are never deleted from.
    EXPECT_TRUE(std::holds_alternative<MethodError>(
        call("import.start", {{"source", EncodableMap{{"kind", "iphone"}, {"id", udid}}},
                              {"destination", destination},
                              {"deleteAfter", true}})));
}

TEST_F(Import, APhotoRewrittenOnThePhoneUnderItsNameIsSizedAnewAfterOneFailure) {
    auto roll = folder("phone/DCIM/100APPLE");
    std::ofstream(roll + "/IMG_0001.JPG") << "the first photo";
    const std::string udid = "00008110-REWRITE";
    for (auto [method, args] : {std::pair<const char*, EncodableMap>{"phone.add", {{"root", h->home / "phone"}}},
                                std::pair<const char*, EncodableMap>{"phone.attach", {{"link", "usb"}}}}) {
        args.set("udid", udid);
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(h->call("sim/control", method, args))) << method;
    }
    auto listed = [&] { return !h->value("lumivane/macos", "iphone.list").get<EncodableList>()->empty(); };
    ASSERT_TRUE(until(*h, listed));
    EncodableMap args{
        {"source", EncodableMap{{"kind", "iphone"}, {"id", udid}}}, {"destination", destination}, {"onlyNew", false}};
    EXPECT_EQ(count(run(args), "imported"), 1);  // its size now in the phone's stat cache
    std::ofstream(roll + "/IMG_0001.JPG") << "the same name, another and longer photo";
    auto stale = run(args);
    EXPECT_EQ(count(stale, "failed"), 1);
    auto fresh = run(args);
    EXPECT_EQ(count(fresh, "imported"), 1) << "the stale size was kept";
    auto copy = text(items(fresh)["IMG_0001.JPG"], "path");
    EXPECT_EQ(contents(copy), "the same name, another and longer photo");
    // The time the phone gives (in milliseconds there) is the copy's.
    auto media = h->value("lumivane/macos", "iphone.media", EncodableMap{{"udid", udid}});
    ASSERT_TRUE(media.get<EncodableList>() && media.get<EncodableList>()->size() == 1u)
        << ::testing::PrintToString(media);
    auto phoneTime = Arguments((*media.get<EncodableList>())[0]).integer("modified");
    ASSERT_TRUE(phoneTime);
    EXPECT_EQ(static_cast<std::int64_t>(mtime(copy)), *phoneTime / 1000);
}

TEST_F(Import, ACameraImportsAndDeletesWhatItCopied) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the simulated camera reads its pictures' headers through libvips, which hides its threads";
#endif
    auto root = folder("eos/DCIM/100CANON");
    fs::copy_file(card + "/DCIM/100TEST/IMG_0001.JPG", root + "/IMG_0101.JPG");
    fs::copy_file(card + "/DCIM/100TEST/MVI_0003.MOV", root + "/MVI_0102.MOV");
    // Read in several parts, each asked for while the last is written: a
    // part out of place shows in the bytes.
    std::string large((9 << 20) + 5, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = char(i * 7 + i / 4093);
    std::ofstream(root + "/IMG_0103.CR3", std::ios::binary) << large;
    auto added = h->call(
        "sim/control", "camera.add",
        EncodableMap{{"uuid", "EOS-IMPORT"}, {"name", "Canon EOS R6"}, {"serial", "0321"}, {"root", h->home / "eos"}});
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(added));
    auto ready = [&] {
        auto list = h->value("lumivane/macos", "camera.list");
        for (const auto& entry : list.get<EncodableList>() ? *list.get<EncodableList>() : EncodableList{})
            if (auto* map = entry.get<EncodableMap>();
                map && map->find("ready") && *map->find("ready") == EncodableValue(true))
                return true;
        return false;
    };
    ASSERT_TRUE(until(*h, ready));
    auto status = run({{"source", EncodableMap{{"kind", "camera"}, {"id", "EOS-IMPORT"}}},
                       {"destination", destination},
                       {"subfolders", "{device}/{YYYY}"},
                       {"deleteAfter", true}});
    EXPECT_EQ(text(status, "state"), "done");
    EXPECT_EQ(count(status, "imported"), 3);
    auto byName = items(status);
    EXPECT_EQ(contents(text(byName["IMG_0103.CR3"], "path")), large);
    EXPECT_EQ(text(byName["IMG_0101.JPG"], "path"), destination + "/Canon EOS R6/2021/IMG_0101.JPG");
    EXPECT_EQ(text(byName["MVI_0102.MOV"], "path"), destination + "/Canon EOS R6/2020/MVI_0102.MOV");
    EXPECT_EQ(contents(text(byName["IMG_0101.JPG"], "path")), contents(card + "/DCIM/100TEST/IMG_0001.JPG"));
    for (const auto& [name, item] : byName) EXPECT_EQ(text(item, "reason"), "") << name;
    EXPECT_TRUE(fs::is_empty(root));
    // The camera lists what it still holds, once it has said what it removed: nothing.
    auto media = [&] { return h->value("lumivane/macos", "camera.media", EncodableMap{{"id", "EOS-IMPORT"}}); };
    EXPECT_TRUE(until(*h, [&] { return media() == EncodableValue(EncodableList{}); }))
        << ::testing::PrintToString(media());
}

TEST_F(Import, AFullDestinationInterruptsTheJobAndResumeFinishesTheRest) {
    auto small = folder("Small");
    // A disk of 1 MiB, most of it taken: needs the right to mount one.
    if (std::system(("mount -t tmpfs -o size=1m tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    struct Unmount {
        std::string path;
        ~Unmount() { (void)!std::system(("umount '" + path + "'").c_str()); }
    } unmount{small};
    fs::remove_all(card + "/DCIM");
    fs::create_directories(card + "/DCIM/100FULL");
    for (int i = 1; i <= 4; ++i)
        std::ofstream(card + "/DCIM/100FULL/IMG_" + std::to_string(i) + ".JPG")
            << std::string(256 << 10, char('a' + i));
    std::ofstream(small + "/filler") << std::string(700 << 10, 'f');

    auto first = run(request({{"destination", small}}));
    EXPECT_EQ(text(first, "state"), "interrupted");
    EXPECT_NE(text(first, "reason").find("No space left on device"), std::string::npos);
    EXPECT_LT(count(first, "imported"), 4);
    EXPECT_EQ(count(first, "failed"), 0);
    for (const auto& entry : fs::directory_iterator(small))
        EXPECT_EQ(entry.path().filename().string().find(".lumivane"), std::string::npos) << entry.path();

    fs::remove(small + "/filler");
    auto job = text(first, "job");
    h->events.clear();
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(call("import.resume", {{"job", job}})));
    auto status = waitFor(job);
    EXPECT_EQ(text(status, "state"), "done");
    EXPECT_EQ(count(status, "imported"), 4);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(small)) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"IMG_1.JPG", "IMG_2.JPG", "IMG_3.JPG", "IMG_4.JPG"}));
}

TEST_F(Import, SkipDuplicatesFindsTheSameBytesAnywhereInTheDestination) {
    // Copied by hand earlier, renamed, in a folder of its own.
    fs::create_directories(destination + "/old/trip");
    fs::copy_file(card + "/DCIM/100TEST/IMG_0002.JPG", destination + "/old/trip/beach.jpg");
    auto status = run(request({{"skipDuplicates", true}, {"onlyNew", false}}));
    EXPECT_EQ(count(status, "imported"), 4);
    EXPECT_EQ(count(status, "skipped"), 1);
    auto byName = items(status);
    EXPECT_EQ(text(byName["IMG_0002.JPG"], "state"), "skipped");
    EXPECT_NE(text(byName["IMG_0002.JPG"], "reason").find(destination + "/old/trip/beach.jpg"), std::string::npos);
    EXPECT_FALSE(fs::exists(destination + "/IMG_0002.JPG"));
    // A second run finds this run's own copies too.
    auto again = run(request({{"skipDuplicates", true}, {"onlyNew", false}}));
    EXPECT_EQ(count(again, "imported"), 0);
    EXPECT_EQ(count(again, "skipped"), 5);
}

TEST_F(Import, TwoJobsIntoOneFolderAtOnceNeverShareAName) {
    // A second card with other bytes under the same names.
    auto other = folder("OTHER");
    fs::create_directories(other + "/DCIM/100TEST");
    for (const auto& entry : fs::directory_iterator(card + "/DCIM/100TEST"))
        std::ofstream(other + "/DCIM/100TEST/" + entry.path().filename().string()) << "other " << entry.path();
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        h->call("sim/control", "volume.mount",
                EncodableMap{{"path", other}, {"uuid", "OTHER-1"}, {"localizedName", "Other"}})));
    auto first = call("import.start", request());
    auto second = call("import.start",
                       {{"source", EncodableMap{{"kind", "volume"}, {"id", other}}}, {"destination", destination}});
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(first) && std::holds_alternative<EncodableValue>(second));
    auto a = waitFor(*std::get<EncodableValue>(first).get<std::string>());
    auto b = waitFor(*std::get<EncodableValue>(second).get<std::string>());
    EXPECT_EQ(count(a, "imported") + count(b, "imported"), 10);
    std::set<std::string> paths;
    for (const auto* status : {&a, &b})
        for (const auto& [name, item] : items(*status)) {
            auto path = text(item, "path");
            EXPECT_TRUE(paths.insert(path).second) << path;
        }
    for (const auto& [name, item] : items(a))
        EXPECT_EQ(contents(text(item, "path")), contents(card + "/DCIM/100TEST/" + name));
    for (const auto& [name, item] : items(b))
        EXPECT_EQ(contents(text(item, "path")), contents(other + "/DCIM/100TEST/" + name));
}

TEST_F(Import, ImportedItemsAreTheOnesOnlyNewWouldSkip) {
    auto dir = card + "/DCIM/100TEST/";
    const EncodableMap source{{"kind", "volume"}, {"id", card}};
    auto imported = [&] {
        auto answer = h->value("lumivane/import", "import.imported", EncodableMap{{"source", source}});
        std::set<std::string> paths;
        if (const auto* map = answer.get<EncodableMap>())
            for (const auto& [path, at] : *map) {
                EXPECT_GT(at.get<double>() ? *at.get<double>() : 0, 1.7e9) << "when it was copied";
                paths.insert(*path.get<std::string>());
            }
        return paths;
    };
    EXPECT_EQ(imported(), std::set<std::string>{});
    auto first = run(request({{"items", EncodableList{dir + "IMG_0001.JPG", dir + "IMG_0002.JPG"}}}));
    ASSERT_EQ(count(first, "imported"), 4) << "each photo, and the first one's twin and sidecar";
    EXPECT_EQ(imported(), (std::set<std::string>{dir + "IMG_0001.CR2", dir + "IMG_0001.JPG", dir + "IMG_0001.XMP",
                                                 dir + "IMG_0002.JPG"}));
    // Changed since (its time is part of what it is): no longer imported, and "only new" copies it again.
    setTime("IMG_0002.JPG", 1600000000);
    EXPECT_EQ(imported().count(dir + "IMG_0002.JPG"), 0u);
    // Asked for, the job leaves its log beside its copies.
    auto again = run(request({{"items", EncodableList{dir + "IMG_0002.JPG"}}, {"log", true}}));
    EXPECT_EQ(count(again, "imported"), 1);
    EXPECT_EQ(imported().count(dir + "IMG_0002.JPG"), 1u);
    std::vector<std::string> logs;
    for (const auto& entry : fs::directory_iterator(destination))
        if (entry.path().filename().string().rfind("Import log ", 0) == 0) logs.push_back(entry.path());
    ASSERT_EQ(logs.size(), 1u) << "only the job that asked for one";
    auto log = contents(logs[0]);
    EXPECT_EQ(log.rfind("Import from Card to " + destination + ", started ", 0), 0u) << log;
    EXPECT_NE(log.find("\nEnded: done. 1 imported, 0 skipped, 0 failed.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nimported\t" + dir + "IMG_0002.JPG\t-> IMG_0002 1.JPG\n"), std::string::npos) << log;
    EXPECT_TRUE(std::holds_alternative<MethodError>(call("import.imported", {})));
    EXPECT_TRUE(std::holds_alternative<MethodError>(
        call("import.imported", {{"source", EncodableMap{{"kind", "volume"}, {"id", "/nowhere"}}}})));
}

TEST_F(Import, FlagsAreKeptByTheHostUntilImportedThenWrittenIntoTheCopysSidecar) {
    auto dir = card + "/DCIM/100TEST/";
    const EncodableMap source{{"kind", "volume"}, {"id", card}};
    auto flag = [&](EncodableList items, EncodableMap more) {
        more.set("source", source);
        more.set("items", std::move(items));
        return call("import.flag", more);
    };
    auto flags = [&] { return h->value("lumivane/import", "import.flags", EncodableMap{{"source", source}}); };
    auto one = [](const char* pick, int stars) {
        EncodableMap shown;
        if (pick) shown.set("flag", pick);
        if (stars) shown.set("stars", stars);
        return EncodableValue(shown);
    };
    // Bad input is refused and changes nothing.
    const EncodableMap refused[] = {{{"flag", "maybe"}}, {{"stars", 6}}, {{"stars", -1}}, {{"stars", "5"}}, {}};
    for (const auto& bad : refused) EXPECT_TRUE(std::holds_alternative<MethodError>(flag({dir + "IMG_0002.JPG"}, bad)));
    EXPECT_TRUE(
        std::holds_alternative<MethodError>(flag({dir + "IMG_0002.JPG", dir + "gone.JPG"}, {{"flag", "pick"}})));
    EXPECT_TRUE(std::holds_alternative<MethodError>(flag({}, {{"flag", "pick"}})));
    EXPECT_EQ(flags(), EncodableValue(EncodableMap{}));

    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        flag({dir + "IMG_0002.JPG", dir + "MVI_0003.MOV", dir + "IMG_0001.CR2"}, {{"flag", "pick"}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(flag({dir + "IMG_0002.JPG"}, {{"stars", 4}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(flag({dir + "MVI_0003.MOV"}, {{"flag", "reject"}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(flag({dir + "IMG_0001.CR2"}, {{"stars", 2}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(flag({dir + "IMG_0001.CR2"}, {{"flag", "none"}})));
    auto expected = EncodableValue(EncodableMap{{dir + "IMG_0001.CR2", one(nullptr, 2)},
                                                {dir + "IMG_0002.JPG", one("pick", 4)},
                                                {dir + "MVI_0003.MOV", one("reject", 0)}});
    EXPECT_EQ(flags(), expected);
    restartHost();
    EXPECT_EQ(flags(), expected) << "kept by the host";

    auto done = run(request({{"items", EncodableList{dir + "IMG_0002.JPG", dir + "IMG_0001.CR2"}}}));
    ASSERT_EQ(count(done, "imported"), 4);
    auto exiftool = [](const std::string& path) {
        auto out = ProcessRunner::run("/usr/bin/exiftool", {"-s", "-s", "-n", "-XMP:Rating", "-XMP:Pick", path});
        return out.ok() ? out.value() : "unread";
    };
    EXPECT_EQ(exiftool(destination + "/IMG_0002.xmp"), "Rating: 4\nPick: 1\n");
    // The camera's own sidecar is no XMP that can take a rating: it stays as
    // it came, and the host keeps the rating.
    EXPECT_EQ(contents(destination + "/IMG_0001.XMP"), "<x:xmpmeta/>");
    EXPECT_FALSE(fs::exists(destination + "/IMG_0001.xmp.tmp"));
    EXPECT_EQ(contents(dir + "IMG_0002.JPG").size(), fs::file_size(destination + "/IMG_0002.JPG"));
    EXPECT_FALSE(fs::exists(dir + "IMG_0002.xmp")) << "nothing is written to the device";
    EXPECT_EQ(flags(), EncodableValue(EncodableMap{{dir + "IMG_0001.CR2", one(nullptr, 2)},
                                                   {dir + "MVI_0003.MOV", one("reject", 0)}}));
    // A file changed since it was flagged is another photo: its flag is not shown.
    setTime("MVI_0003.MOV", 1600000000);
    EXPECT_EQ(flags(), EncodableValue(EncodableMap{{dir + "IMG_0001.CR2", one(nullptr, 2)}}));
}

// The longer edge of a JPEG, read from its frame header; 0 when there is none.
int jpegLongerEdge(const Bytes& jpeg) {
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xff && (jpeg[i + 1] == 0xc0 || jpeg[i + 1] == 0xc2))
            return std::max(jpeg[i + 5] << 8 | jpeg[i + 6], jpeg[i + 7] << 8 | jpeg[i + 8]);
    return 0;
}

TEST_F(Import, APreviewIsRenderedFromTheItemItselfWithinItsBounds) {
#if defined(__SANITIZE_THREAD__)
    // libvips decodes on worker threads of its own, handing buffers over
    // through GLib's futex locks, which ThreadSanitizer cannot see.
    GTEST_SKIP() << "not under ThreadSanitizer: libvips' own threads";
#endif
    auto dir = card + "/DCIM/100TEST/";
    ASSERT_EQ(std::system(("vips gaussnoise '" + dir + "IMG_0005.JPG' 900 600").c_str()), 0);
    // Larger than a preview reads (the same picture, padded after its end):
    // never read whole, whether its size is told or not.
    fs::copy_file(dir + "IMG_0005.JPG", dir + "IMG_0006.JPG");
    fs::resize_file(dir + "IMG_0006.JPG", ItemPreview::kSourceLimit + 1);
    // A video as phones and cameras write it, its index after more media
    // than a frame reads: the frame comes from its head and that index.
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=s=96x64:r=2:d=30 -f lavfi -i "
                           "anoisesrc=r=48000:d=30 -ac 2 -c:v mjpeg -c:a pcm_s32le '" +
                           dir + "MVI_0007.MOV'")
                              .c_str()),
              0);
    ASSERT_GT(fs::file_size(dir + "MVI_0007.MOV"), ItemPreview::kVideoHeadBytes);
    const EncodableMap source{{"kind", "volume"}, {"id", card}};
    auto preview = [&](const std::string& path, int px, std::int64_t size = 0) {
        EncodableMap args{{"source", source}, {"path", path}, {"px", px}};
        if (size > 0) args.set("size", size);
        return call("import.preview", args);
    };
    struct Case {
        const char* name;
        std::string path;
        int px;
        int edge;  // of the answer; 0 for null
    };
    const Case cases[] = {
        {"scaled down", dir + "IMG_0005.JPG", 300, 300},
        {"never up", dir + "IMG_0005.JPG", 4000, 900},
        {"no size", dir + "IMG_0005.JPG", 0, 0},
        {"a video's frame", dir + "MVI_0003.MOV", 300, 64},
        {"a video's frame, its index at the end", dir + "MVI_0007.MOV", 48, 48},
        {"not a picture", dir + "notes.txt", 300, 0},
        {"too large to read", dir + "IMG_0006.JPG", 300, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Sized as the device lists it, as a client sends it.
        auto answer = preview(c.path, c.px, static_cast<std::int64_t>(fs::file_size(c.path)));
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(answer));
        const auto& value = std::get<EncodableValue>(answer);
        if (c.edge == 0) {
            EXPECT_TRUE(value.isNull());
        } else {
            ASSERT_TRUE(value.get<Bytes>());
            EXPECT_EQ(jpegLongerEdge(*value.get<Bytes>()), c.edge);
        }
    }
    auto told = preview(dir + "IMG_0006.JPG", 300, std::int64_t(ItemPreview::kSourceLimit) + 1);
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(told));
    EXPECT_TRUE(std::get<EncodableValue>(told).isNull());
    // What cannot be read is an error: a missing item, a file off the card, an unknown device.
    for (const auto& path :
         {dir + "gone.JPG", std::string("/etc/hostname"), dir + "../../../CARD/DCIM/100TEST/IMG_0005.JPG"})
        EXPECT_TRUE(std::holds_alternative<MethodError>(preview(path, 300))) << path;
    EXPECT_TRUE(std::holds_alternative<MethodError>(
        call("import.preview",
             {{"source", EncodableMap{{"kind", "volume"}, {"id", "/nowhere"}}}, {"path", dir + "IMG_0005.JPG"}})));
    EXPECT_TRUE(std::holds_alternative<MethodError>(call("import.preview", {{"source", source}})));
}

TEST_F(Import, DatesAreReadFromItemHeadsAndSettingsAreRememberedAcrossRestarts) {
    auto dir = card + "/DCIM/100TEST/";
    // A video as cameras write them: its index after a megabyte of media,
    // far past the head.
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i anoisesrc=d=12:r=44100 -c:a pcm_s16le -metadata "
                           "creation_time=2019-05-06T07:08:09Z '" +
                           dir + "MVI_0004.MOV'")
                              .c_str()),
              0);
    ASSERT_GT(fs::file_size(dir + "MVI_0004.MOV"), 4 * CaptureDates::kHeadBytes);
    // A HEIC photo as libheif writes it: its EXIF item after the picture's
    // data, past the head.
    auto heic = dir + "IMG_0005.HEIC";
    ASSERT_EQ(std::system(("vips gaussnoise '" + heic + "[Q=90]' 640 480 && exiftool -q -q -overwrite_original " +
                           "'-DateTimeOriginal=2018:03:04 05:06:07' '-OffsetTimeOriginal=+00:00' '" + heic + "'")
                              .c_str()),
              0);
    // The item's own header, found from the end: the same six bytes open
    // the item's entry in the meta box, and noise in the picture's data
    // may hold a TIFF header's three bytes anywhere.
    auto exif = contents(heic).rfind(std::string("Exif\0\0", 6));
    ASSERT_NE(exif, std::string::npos);
    ASSERT_GT(exif, CaptureDates::kHeadBytes);
    auto dates = h->value(
        "lumivane/import", "import.dates",
        EncodableMap{
            {"source", EncodableMap{{"kind", "volume"}, {"id", card}}},
            {"items",
             EncodableList{EncodableMap{{"path", dir + "IMG_0001.JPG"}}, EncodableMap{{"path", dir + "IMG_0002.JPG"}},
                           EncodableMap{{"path", dir + "MVI_0003.MOV"}}, EncodableMap{{"path", dir + "gone.JPG"}},
                           EncodableMap{{"path", dir + "MVI_0004.MOV"},
                                        {"size", std::int64_t(fs::file_size(dir + "MVI_0004.MOV"))}},
                           EncodableMap{{"path", heic}, {"size", std::int64_t(fs::file_size(heic))}}}}});
    ASSERT_TRUE(dates.get<EncodableList>());
    const auto& times = *dates.get<EncodableList>();
    ASSERT_EQ(times.size(), 6u);
    fs::remove(dir + "MVI_0004.MOV");
    fs::remove(heic);
    // The codec sends a time that fits in 32 bits as one.
    auto seconds = [](const EncodableValue& v) { return v.get<std::int32_t>() ? *v.get<std::int32_t>() : -1; };
    EXPECT_EQ(seconds(times[0]), 1625382930);  // 2021-07-04 07:15:30 UTC
    EXPECT_TRUE(times[1].isNull()) << "no date in it: the page keeps the file's time";
    EXPECT_EQ(seconds(times[2]), 1577934245);  // 2020-01-02 03:04:05 UTC
    EXPECT_TRUE(times[3].isNull());
    EXPECT_EQ(seconds(times[4]), 1557126489);  // 2019-05-06 07:08:09 UTC
    EXPECT_EQ(seconds(times[5]), 1520139967);  // 2018-03-04 05:06:07 UTC
    EXPECT_TRUE(std::holds_alternative<MethodError>(call("import.dates", {{"items", EncodableList{}}})));

    auto remember = [&](EncodableMap settings) { return call("import.remember", {{"settings", settings}}); };
    // None remembered: the user's pictures folder (here the destination),
    // and where there is none, nothing starts.
    EXPECT_EQ(h->value("lumivane/import", "import.settings"),
              EncodableValue(EncodableMap{{"destination", destination}}));
    fs::rename(destination, destination + "-away");
    EXPECT_EQ(h->value("lumivane/import", "import.settings"), EncodableValue(EncodableMap{}));
    auto started = call("import.start", {{"source", EncodableMap{{"kind", "volume"}, {"id", card}}}});
    ASSERT_TRUE(std::holds_alternative<MethodError>(started));
    EXPECT_EQ(std::get<MethodError>(started).code, "bad_request");
    fs::rename(destination + "-away", destination);
    auto first = run({{"source", EncodableMap{{"kind", "volume"}, {"id", card}}},
                      {"items", EncodableList{dir + "IMG_0002.JPG"}},
                      {"companions", false}});
    EXPECT_EQ(text(first, "destination"), destination);
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        remember({{"destination", destination}, {"subfolders", "{YYYY}"}, {"onlyNew", false}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(remember({{"rename", "{YYYY}{MM}{DD}_{name}"}})));
    for (const auto& bad : {EncodableMap{{"subfolders", true}}, EncodableMap{{"password", "x"}},
                            EncodableMap{{"rename", std::string(5000, 'a')}}})
        EXPECT_TRUE(std::holds_alternative<MethodError>(remember(bad)));
    restartHost();
    EXPECT_EQ(h->value("lumivane/import", "import.settings"),
              EncodableValue(EncodableMap{{"destination", destination},
                                          {"subfolders", "{YYYY}"},
                                          {"rename", "{YYYY}{MM}{DD}_{name}"},
                                          {"onlyNew", false}}));

    // Without one, a job goes to the remembered destination and backup.
    auto backup = destination + "-backup";
    fs::create_directories(backup);
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(remember({{"backup", backup}})));
    auto status = run({{"source", EncodableMap{{"kind", "volume"}, {"id", card}}},
                       {"items", EncodableList{dir + "IMG_0001.JPG"}},
                       {"companions", false}});
    EXPECT_EQ(text(status, "destination"), destination);
    EXPECT_EQ(text(status, "backup"), backup);
    EXPECT_EQ(count(status, "imported"), 1);
    // One given stands, with no backup unless one is given too.
    auto elsewhere = h->home / "Elsewhere";
    fs::create_directories(elsewhere);
    status = run({{"source", EncodableMap{{"kind", "volume"}, {"id", card}}},
                  {"destination", elsewhere},
                  {"items", EncodableList{dir + "IMG_0002.JPG"}},
                  {"companions", false}});
    EXPECT_EQ(text(status, "destination"), elsewhere);
    EXPECT_EQ(text(status, "backup"), "");
}

TEST_F(Import, ADevicesOwnNamesAreKeptByItsIdentityAndAShootIsAskedWhereTheNamesUseIt) {
    const EncodableMap source{{"kind", "volume"}, {"id", card}};
    auto settings = [&](bool ofCard) {
        return h->value("lumivane/import", "import.settings",
                        ofCard ? EncodableMap{{"source", source}} : EncodableMap{});
    };
    auto field = [](const EncodableValue& map, const char* key) {
        const auto* value = map.get<EncodableMap>()->find(key);
        return value ? *value : EncodableValue();
    };
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.remember", {{"settings", EncodableMap{{"subfolders", "{YYYY}"}}}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.remember",
             {{"settings", EncodableMap{{"subfolders", "{YYYY}/{job}"}, {"clockShift", 90}}}, {"source", source}})));
    EXPECT_EQ(field(settings(true), "subfolders"), EncodableValue("{YYYY}/{job}"));
    EXPECT_EQ(field(settings(true), "clockShift"), EncodableValue(90));
    EXPECT_EQ(field(settings(true), "preset"), EncodableValue(true));
    EXPECT_EQ(field(settings(false), "subfolders"), EncodableValue("{YYYY}")) << "the card's own names stay its own";
    // The same card at another mount point is the same card.
    ASSERT_TRUE(
        std::holds_alternative<EncodableValue>(h->call("sim/control", "volume.unmount", EncodableMap{{"path", card}})));
    fs::rename(card, card + "-moved");
    card += "-moved";
    mount();
    EXPECT_EQ(field(h->value("lumivane/import", "import.settings",
                             EncodableMap{{"source", EncodableMap{{"kind", "volume"}, {"id", card}}}}),
                    "clockShift"),
              EncodableValue(90));
    for (const auto& bad : {EncodableMap{{"destination", "/elsewhere"}}, EncodableMap{{"clockShift", 43201}}})
        EXPECT_TRUE(std::holds_alternative<MethodError>(
            call("import.remember", {{"settings", bad}, {"source", EncodableMap{{"kind", "volume"}, {"id", card}}}})));
    EXPECT_TRUE(std::holds_alternative<MethodError>(
        call("import.settings", {{"source", EncodableMap{{"kind", "volume"}, {"id", "/nowhere"}}}})));
    // Names that use {job} are refused at once without a shoot's name, by a
    // start and by a rule alike; with one, the copies take it.
    auto dir = card + "/DCIM/100TEST/";
    const EncodableMap moved{{"kind", "volume"}, {"id", card}};
    auto started = call("import.start", {{"source", moved}, {"subfolders", "{job}"}});
    ASSERT_TRUE(std::holds_alternative<MethodError>(started));
    EXPECT_EQ(std::get<MethodError>(started).code, "bad_request");
    EXPECT_TRUE(std::holds_alternative<MethodError>(
        call("import.autoSet", {{"device", EncodableMap{{"kind", "volume"}, {"id", "4A2B-11C0"}}},
                                {"settings", EncodableMap{{"destination", destination}, {"rename", "{job}_{seq}"}}}})));
    auto status = run({{"source", moved},
                       {"items", EncodableList{dir + "IMG_0002.JPG"}},
                       {"subfolders", "{job}"},
                       {"shoot", "Harbour wedding"}});
    EXPECT_EQ(count(status, "imported"), 1);
    EXPECT_TRUE(fs::exists(destination + "/Harbour wedding/IMG_0002.JPG"));
}

TEST_F(Import, ACardWithARuleIsImportedAndEjectedOnceAndAnUntrustedPhoneIsNot) {
    // The card is mounted by SetUp(): a rule made now starts nothing until
    // the card comes again.
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.autoSet", {{"device", EncodableMap{{"kind", "volume"}, {"id", "4A2B-11C0"}}},
                                {"settings", EncodableMap{{"destination", destination}, {"subfolders", "{YYYY}"}}},
                                {"eject", true}})));
    const std::string udid = "00008110-UNTRUSTED";
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.autoSet", {{"device", EncodableMap{{"kind", "iphone"}, {"id", udid}}},
                                {"settings", EncodableMap{{"destination", destination}}}})));
    auto jobs = [&] { return h->value("lumivane/import", "import.list").get<EncodableList>()->size(); };
    EXPECT_EQ(jobs(), 0u);

    ASSERT_TRUE(
        std::holds_alternative<EncodableValue>(h->call("sim/control", "volume.unmount", EncodableMap{{"path", card}})));
    mount();
    // Ejected once done: the card is no longer mounted.
    auto mounted = [&] {
        auto list = h->value("lumivane/macos", "volume.list");
        for (const auto& volume : *list.get<EncodableList>())
            if (*volume.get<EncodableMap>()->find("path") == EncodableValue(card)) return true;
        return false;
    };
    ASSERT_TRUE(until(*h, [&] { return !mounted(); }));
    ASSERT_EQ(jobs(), 1u);
    auto listed = *h->value("lumivane/import", "import.list").get<EncodableList>()->front().get<EncodableMap>();
    EXPECT_EQ(text(listed, "state"), "done");
    EXPECT_EQ(*listed.find("auto"), EncodableValue(true));
    EXPECT_EQ(count(listed, "imported"), 5);  // two photos, a RAW twin, a sidecar and a video
    EXPECT_TRUE(h->log.contains("Imported 5 photos from Card · card ejected"));

    // A phone that does not trust this computer: no job, one line.
    auto roll = folder("phone/DCIM/100APPLE");
    fs::copy_file(card + "/DCIM/100TEST/IMG_0002.JPG", roll + "/IMG_0001.JPG");
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(h->call(
        "sim/control", "phone.add",
        EncodableMap{{"udid", udid}, {"name", "Ada's iPhone"}, {"root", h->home / "phone"}, {"trusted", false}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        h->call("sim/control", "phone.attach", EncodableMap{{"udid", udid}, {"link", "usb"}})));
    ASSERT_TRUE(until(*h, [&] { return h->log.contains("does not trust this computer yet"); }));
    EXPECT_EQ(jobs(), 1u);
}
