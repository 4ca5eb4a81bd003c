// The import bridge over a device in memory: a device that leaves stops the
// jobs reading it, whatever their reads say.
#include "bridges/import/import_bridge.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <filesystem>

#include "bridges/common/testing/sim_bridge_setup.h"
#include "bridges/import/automatic_end.h"
#include "bridges/import/testing/fake_import_source.h"
#include "channel/binary_messenger.h"
#include "channel/standard_codec.h"
#include "platform/common/file_url.h"

namespace lumivane {
namespace {

namespace fs = std::filesystem;

struct ImportBridgeTest : ::testing::Test, SimBridgeSetup {
    std::shared_ptr<FakeImportSource> card = std::make_shared<FakeImportSource>();
    HostMessenger messenger;
    std::unique_ptr<ImportBridge> bridge;
    ImportSources::Registration offered;

    void SetUp() override {
        offered =
            sources.add("volume", [this](const std::string&) -> Result<std::shared_ptr<ImportSource>> { return card; });
        bridge = std::make_unique<ImportBridge>(context({}, std::make_shared<EventHandler>(loop)));
        bridge->start(messenger);
        fs::create_directories(home / "Pictures");
    }
    using Answer = std::shared_ptr<std::optional<MethodResponse>>;
    // Calls `method`; its answer is filled in once given.
    Answer send(const std::string& method, EncodableMap args) {
        auto response = std::make_shared<std::optional<MethodResponse>>();
        MethodResult result(
            method,
            [response](Bytes reply) {
                if (auto decoded = StandardMethodCodec::decodeEnvelope(reply.data(), reply.size()))
                    *response = std::move(*decoded);
            },
            log);
        bridge->handle({method, std::move(args)}, std::move(result));
        return response;
    }
    // Calls `method` and runs the main loop until it is answered.
    MethodResponse call(const std::string& method, EncodableMap args) {
        auto response = send(method, std::move(args));
        loop.runUntil([&] { return response->has_value(); }, std::chrono::seconds(10));
        return response->value_or(MethodError{"test", "no answer", EncodableValue()});
    }
    std::string state(const std::string& job) {
        auto status = call("import.status", {{"job", job}});
        const auto* value = std::get_if<EncodableValue>(&status);
        return value && value->get<EncodableMap>() ? *value->get<EncodableMap>()->find("state")->get<std::string>()
                                                   : "?";
    }
};

TEST_F(ImportBridgeTest, ADeviceThatLeavesInterruptsItsJobAtOnce) {
    for (int i = 0; i < 20; ++i) card->put("DCIM/IMG_" + std::to_string(i) + ".JPG", "photo " + std::to_string(i));
    // The card is unplugged as the first photo has been read: its reads go on
    // answering (a simulated card's folder stays), so only the notice can tell.
    std::atomic<bool> told{false};
    card->afterRead = [&](const std::string&) {
        if (told.exchange(true)) return;
        std::atomic<bool> delivered{false};
        loop.post([&] {
            sources.departed("volume", "/card");
            delivered = true;
        });
        while (!delivered) std::this_thread::yield();
    };
    auto started = call("import.start", {{"source", EncodableMap{{"kind", "volume"}, {"id", "/card"}}},
                                         {"destination", home / "Pictures"}});
    const auto* job = std::get_if<EncodableValue>(&started);
    ASSERT_TRUE(job && job->get<std::string>()) << ::testing::PrintToString(started);
    auto id = *job->get<std::string>();
    ASSERT_TRUE(loop.runUntil([&] { return state(id) != "running"; }, std::chrono::seconds(30)));
    EXPECT_EQ(state(id), "interrupted");
}

TEST_F(ImportBridgeTest, AutomaticRulesAreKeptOnlyWhenSoundAndReplaceEachOther) {
    auto device = [](std::string kind, std::string id) { return EncodableMap{{"kind", kind}, {"id", id}}; };
    std::string pictures = home / "Pictures";
    EncodableMap settings{{"destination", pictures}};
    struct Case {
        const char* what;
        EncodableMap args;
    };
    const Case refused[] = {
        {"no device", {{"settings", settings}}},
        {"a kind of device there is not", {{"device", device("floppy", "A")}, {"settings", settings}}},
        {"no id", {{"device", device("volume", "")}, {"settings", settings}}},
        {"an id with a line break", {{"device", device("volume", "A\nB")}, {"settings", settings}}},
        {"no settings", {{"device", device("volume", "A")}}},
        {"a source in the settings",
         {{"device", device("volume", "A")}, {"settings", EncodableMap{{"destination", pictures}, {"source", "x"}}}}},
        {"deletes from a phone",
         {{"device", device("iphone", "U")},
          {"settings", EncodableMap{{"destination", pictures}, {"deleteAfter", true}}}}},
        {"a destination that is not there",
         {{"device", device("volume", "A")}, {"settings", EncodableMap{{"destination", pictures + "/none"}}}}},
        {"a template that never makes a name",
         {{"device", device("volume", "A")},
          {"settings", EncodableMap{{"destination", pictures}, {"rename", "{YYYY"}}}}},
        {"eject as text", {{"device", device("volume", "A")}, {"settings", settings}, {"eject", "yes"}}},
    };
    for (const auto& each : refused) {
        SCOPED_TRACE(each.what);
        EXPECT_TRUE(std::holds_alternative<MethodError>(call("import.autoSet", each.args)));
    }
    EXPECT_EQ(call("import.autoList", {}), MethodResponse(EncodableValue(EncodableList{})));
    EXPECT_TRUE(std::holds_alternative<MethodError>(call("import.autoRemove", {{"device", device("volume", "A")}})));

    // A rule, then another for the same device in its place.
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.autoSet", {{"device", device("volume", "A")}, {"settings", settings}})));
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.autoSet", {{"device", device("volume", "A")},
                                {"settings", EncodableMap{{"destination", pictures + "/"}, {"subfolders", "{YYYY}"}}},
                                {"eject", true}})));
    auto listed = call("import.autoList", {});
    const auto* rules = std::get<EncodableValue>(listed).get<EncodableList>();
    ASSERT_TRUE(rules);
    ASSERT_EQ(rules->size(), 1u);
    const auto& rule = *rules->front().get<EncodableMap>();
    EXPECT_EQ(*rule.find("device"), EncodableValue(device("volume", "A")));
    EXPECT_EQ(*rule.find("eject"), EncodableValue(true));
    const auto& kept = *rule.find("settings")->get<EncodableMap>();
    EXPECT_EQ(*kept.find("destination"), EncodableValue(pictures));
    EXPECT_EQ(*kept.find("subfolders"), EncodableValue("{YYYY}"));
    // Kept across restarts.
    bridge = std::make_unique<ImportBridge>(context({}, std::make_shared<EventHandler>(loop)));
    bridge->start(messenger);
    EXPECT_EQ(call("import.autoList", {}), listed);
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(call("import.autoRemove", {{"device", device("volume", "A")}})));
    EXPECT_EQ(call("import.autoList", {}), MethodResponse(EncodableValue(EncodableList{})));

    // Changes asked one after another without waiting land in that order.
    std::vector<Answer> answers;
    for (int i = 0; i < 20; ++i) {
        answers.push_back(send("import.remember", {{"settings", EncodableMap{{"subfolders", std::to_string(i)}}}}));
        answers.push_back(send(i % 2 ? "import.autoRemove" : "import.autoSet",
                               {{"device", device("camera", "C")}, {"settings", settings}}));
    }
    answers.push_back(send("import.autoSet", {{"device", device("camera", "C")}, {"settings", settings}}));
    ASSERT_TRUE(loop.runUntil(
        [&] { return std::all_of(answers.begin(), answers.end(), [](const Answer& a) { return a->has_value(); }); },
        std::chrono::seconds(30)));
    for (const auto& answer : answers) EXPECT_TRUE(std::holds_alternative<EncodableValue>(**answer));
    auto remembered = std::get<EncodableValue>(call("import.settings", {}));
    EXPECT_EQ(*remembered.get<EncodableMap>()->find("subfolders"), EncodableValue("19"));
    EXPECT_EQ(std::get<EncodableValue>(call("import.autoList", {})).get<EncodableList>()->size(), 1u);
}

TEST_F(ImportBridgeTest, ADeviceWithARuleImportsByItselfWhenItAppearsOneJobAtATime) {
    for (int i = 0; i < 6; ++i) card->put("DCIM/IMG_" + std::to_string(i) + ".JPG", "photo " + std::to_string(i));
    card->identityText = "volume:CARD-UUID";
    std::string pictures = home / "Pictures";
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.autoSet", {{"device", EncodableMap{{"kind", "volume"}, {"id", "OTHER-UUID"}}},
                                {"settings", EncodableMap{{"destination", pictures}}}})));
    auto jobs = [&] { return *std::get<EncodableValue>(call("import.list", {})).get<EncodableList>(); };
    // Another card's rule: nothing starts.
    sources.arrived("volume", "/card");
    loop.runUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(jobs().empty());

    ASSERT_TRUE(std::holds_alternative<EncodableValue>(
        call("import.autoSet", {{"device", EncodableMap{{"kind", "volume"}, {"id", "CARD-UUID"}}},
                                {"settings", EncodableMap{{"destination", pictures}}},
                                {"eject", true}})));
    // A phone that does not trust this computer yet: no job, and why.
    card->notReadyText = "It does not trust this computer yet.";
    sources.arrived("volume", "/card");
    loop.runUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(jobs().empty());
    EXPECT_TRUE(log.contains("no automatic import from Fake card: It does not trust this computer yet."));
    card->notReadyText.clear();
    // Announced twice as it mounts: one job.
    sources.arrived("volume", "/card");
    sources.arrived("volume", "/card");
    // Listed once recorded, which happens off the main loop.
    ASSERT_TRUE(loop.runUntil([&] { return !jobs().empty(); }, std::chrono::seconds(10)));
    auto id = *jobs().front().get<EncodableMap>()->find("job")->get<std::string>();
    ASSERT_TRUE(loop.runUntil([&] { return state(id) != "running"; }, std::chrono::seconds(30)));
    EXPECT_EQ(state(id), "done");
    auto started = jobs();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(*started.front().get<EncodableMap>()->find("auto"), EncodableValue(true));
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(fs::exists(home / ("Pictures/IMG_" + std::to_string(i) + ".JPG"))) << i;
    EXPECT_TRUE(log.contains("imports Fake card by itself"));

    // Done: ejected as its rule asks, once, and the person is told, with a
    // way to the photos.
    ASSERT_TRUE(loop.runUntil([&] { return !mac.notifications().shown().empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(card->ejects, 1);
    auto notices = mac.notifications().shown();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].title, "Imported 6 photos from Fake card · card ejected");
    EXPECT_TRUE(log.contains("job " + id + ": Imported 6 photos from Fake card · card ejected"));
    ASSERT_TRUE(mac.notifications().activate(0));
    EXPECT_EQ(mac.workspace().openedURLs(), std::vector<std::string>{fileURL(pictures)});

    // A job that is not done is not ejected: one that cannot list the card.
    card->listFailure = Error{"The card refused its listing."};
    sources.arrived("volume", "/card");
    ASSERT_TRUE(loop.runUntil([&] { return mac.notifications().shown().size() == 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(card->ejects, 1);
    EXPECT_EQ(mac.notifications().shown()[1].title, "The import from Fake card failed: The card refused its listing.");
}

TEST(AutomaticEnd, SaysWhatWasImportedAndWhatBecameOfTheDevice) {
    ImportHistory::Counts counts{.total = 216, .imported = 212, .skipped = 3, .failed = 1};
    struct Case {
        AutomaticEnd end;
        const char* line;
    };
    const Case cases[] = {
        {{JobState::done, "EOS_DIGITAL", "volume", "", counts, Result<void>()},
         "Imported 212 photos from EOS_DIGITAL · 3 skipped · 1 failed · card ejected"},
        {{JobState::done, "R5", "camera", "", {.total = 1, .imported = 1}, std::nullopt}, "Imported 1 photo from R5"},
        {{JobState::done, "R5", "camera", "", {.total = 1, .imported = 1}, failure(Error{"The camera is busy."})},
         "Imported 1 photo from R5 · camera not ejected: The camera is busy."},
        {{JobState::interrupted, "CARD", "volume", "The volume CARD was removed.", {.imported = 40}, std::nullopt},
         "The import from CARD stopped after 40 photos: The volume CARD was removed."},
        {{JobState::failed, "iPhone", "iphone", "It refused the listing.", {}, std::nullopt},
         "The import from iPhone failed: It refused the listing."},
        {{JobState::cancelled, "CARD", "volume", "", {.imported = 0, .skipped = 2}, std::nullopt},
         "The import from CARD was cancelled after 0 photos · 2 skipped"},
    };
    for (const auto& each : cases) EXPECT_EQ(each.end.line(), each.line);
}

TEST_F(ImportBridgeTest, AHistoryHeldByAnotherProgramAtStartDelaysTheCallsNotTheMainLoop) {
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(call("import.list", {})));  // the history is made
    bridge.reset();
    // Another program holds the history as the host starts; start() returns
    // at once, and the program lets go only after it has.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((home / ImportBridge::kHistoryFile).c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM jobs;", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    bridge = std::make_unique<ImportBridge>(context({}, std::make_shared<EventHandler>(loop)));
    bridge->start(messenger);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    auto listed = call("import.list", {});
    EXPECT_TRUE(std::holds_alternative<EncodableValue>(listed)) << ::testing::PrintToString(listed);
}

}  // namespace
}  // namespace lumivane
