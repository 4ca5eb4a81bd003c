// AirDrop through the host channel, over the simulated Mac's sharing service,
// with real files, real access times and this machine's real lsof.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <fstream>
#include <regex>

#include "bridges/airdrop/airdrop_bridge.h"
#include "tests/support/host_harness.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

// A process named "sharingd" that holds `path` open until it is killed.
struct FakeSharingd {
    explicit FakeSharingd(const std::string& path) {
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, "sharingd");
            int fd = open(path.c_str(), O_RDONLY);
            (void)fd;
            for (;;) pause();
        }
    }
    ~FakeSharingd() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid;
};

struct AirDrop : ::testing::Test {
    HostHarness h;
    std::vector<std::string> files;

    explicit AirDrop(Host::Options options = {}) : h(std::move(options)) {}
    void SetUp() override {
        h.value("lumivane/macos/events", "listen");
        for (const char* name : {"IMG_0001.JPG", "IMG_0002.JPG"}) {
            files.push_back(h.home / name);
            std::ofstream(files.back()) << std::string(4096, 'x');
        }
    }
    MethodResponse send(EncodableMap args) { return h.call("lumivane/macos", "airdrop.send", args); }
    MethodResponse sendFiles(const std::string& token = "T1") {
        EncodableList paths(files.begin(), files.end());
        return send({{"paths", paths}, {"token", token}});
    }
    EncodableValue control(const std::string& method, EncodableMap args = {}) {
        return h.value("sim/control", method, args);
    }
    AirDropBridge& bridge() { return *static_cast<AirDropBridge*>(h.host->bridge("airdrop")); }
    // The "airdrop" events sent so far.
    std::vector<EncodableMap> outcomes() {
        h.loop.runUntil([] { return false; }, 20ms);
        std::vector<EncodableMap> seen;
        for (auto& [channel, event] : h.events)
            if (auto* map = std::get<EncodableValue>(event).get<EncodableMap>())
                if (map->find("type") && *map->find("type") == EncodableValue("airdrop")) seen.push_back(*map);
        return seen;
    }
    void expectError(const MethodResponse& answer, const std::string& code, const std::string& message) {
        ASSERT_TRUE(std::holds_alternative<MethodError>(answer)) << code;
        EXPECT_EQ(std::get<MethodError>(answer).code, code);
        EXPECT_EQ(std::get<MethodError>(answer).message, message);
    }
    // Whether reading a file moves its access time here (not on a noatime mount).
    bool readsMoveAccessTimes() {
        auto probe = h.home / "probe";
        std::ofstream(probe) << "x";
        timeval old[2] = {{1'000'000'000, 0}, {2'000'000'000, 0}};
        utimes(probe.c_str(), old);
        std::ifstream(probe).get();
        struct stat status {};
        stat(probe.c_str(), &status);
        return status.st_atim.tv_sec > 1'000'000'000;
    }
};

const EncodableMap kClosed{{"type", "airdrop"},
                           {"token", "T1"},
                           {"ok", false},
                           {"cancelled", true},
                           {"error", "Closed without picking a device"}};
const EncodableMap kSent{{"type", "airdrop"}, {"token", "T1"}, {"ok", true}, {"count", 2}};

}  // namespace

TEST_F(AirDrop, ArgumentsAndAvailabilityAreCheckedInOrderAndChangeNothing) {
    EXPECT_EQ(h.value("lumivane/macos", "airdrop.available"), EncodableValue(true));
    // Only absolute paths are files to send: a relative or empty one (or one
    // that an option parser would read as "+D/") is not.
    for (auto paths : {EncodableValue(), EncodableValue(EncodableList{}), EncodableValue("a"),
                       EncodableValue(EncodableList{"a", 1}), EncodableValue(EncodableList{"relative.jpg"}),
                       EncodableValue(EncodableList{files[0], ""}), EncodableValue(EncodableList{"+D/"})})
        expectError(send({{"paths", paths}}), "args", "paths are required");
    control("airdrop.canSend", {{"on", false}});
    expectError(sendFiles(), "cannot_send", "AirDrop can\u2019t send these files");
    control("airdrop.available", {{"on", false}});
    expectError(sendFiles(), "unavailable", "AirDrop isn\u2019t available on this Mac");
    EXPECT_EQ(h.value("lumivane/macos", "airdrop.available"), EncodableValue(false));
    EXPECT_FALSE(bridge().sending());
    EXPECT_EQ(control("airdrop.last"), EncodableValue());

    control("airdrop.available", {{"on", true}});
    control("airdrop.canSend", {{"on", true}});
    auto token = std::get<EncodableValue>(send({{"paths", EncodableList{files[0]}}, {"token", 5}}));
    ASSERT_TRUE(token.get<std::string>());
    EXPECT_TRUE(std::regex_match(*token.get<std::string>(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    expectError(sendFiles("T2"), "busy", "An AirDrop send is already in progress");
    expectError(send({{"paths", EncodableList{}}}), "args", "paths are required");  // args come first
    auto last = *control("airdrop.last").get<EncodableMap>();
    EXPECT_EQ(*last.find("urls"), EncodableValue(EncodableList{"file://" + files[0]}));
    EXPECT_EQ(*last.find("activated"), EncodableValue(true));
    EXPECT_TRUE(h.log.contains("Lumivane AirDrop: perform with 1 file(s)"));
    control("airdrop.shared");
    auto events = outcomes();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(*events[0].find("token"), token);  // the first send's, untouched by the busy one
}

TEST_F(AirDrop, TheBaselineSetsAccessTimesBackAndAShareWithoutEvidenceIsClosed) {
    ASSERT_EQ(std::get<EncodableValue>(sendFiles()), EncodableValue("T1"));
    struct stat status {};
    ASSERT_EQ(stat(files[0].c_str(), &status), 0);
    EXPECT_EQ(status.st_atim.tv_sec, status.st_mtim.tv_sec - 2);
    EXPECT_EQ(status.st_atim.tv_nsec, 0);
    EXPECT_EQ(bridge().baseline().size(), 2u);
    EXPECT_EQ(bridge().baseline()[0], double(status.st_mtim.tv_sec - 2));
    EXPECT_FALSE(bridge().filesWereRead());
    control("airdrop.shared");
    EXPECT_EQ(outcomes(), std::vector<EncodableMap>{kClosed});
    EXPECT_TRUE(
        h.log.contains("Lumivane AirDrop: didShareItems 2 at 0.0s: read=false sharingd=false \u2192 cancelled"));
    // A second outcome for the ended send is logged, with no event.
    control("airdrop.failed", {{"domain", "NSCocoaErrorDomain"}, {"code", 3072}, {"description", "Cancelled."}});
    EXPECT_EQ(outcomes().size(), 1u);
    EXPECT_TRUE(h.log.contains("Lumivane AirDrop: cancelled at 0.0s \u2014 NSCocoaErrorDomain 3072 Cancelled."));
}

TEST_F(AirDrop, AReadAfterTheBaselineIsDeliveryAndAPickerWindowRenewsIt) {
    if (!readsMoveAccessTimes()) GTEST_SKIP() << "reads do not move access times on this mount";
    struct Case {
        const char* name;
        std::vector<const char*> steps;  // "read", "picker", "window", "wait" (past the delayed check)
        bool delivered;
    };
    const Case cases[] = {
        {"a read", {"read"}, true},
        {"a read, then the picker", {"read", "picker"}, false},
        {"a read, then another window", {"read", "window"}, true},
        {"the picker, a read, the delayed check", {"picker", "read", "wait"}, true},
        {"a read, the delayed check without the picker", {"read", "wait"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.events.clear();
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(sendFiles()));
        for (std::string step : c.steps) {
            if (step == "read") EXPECT_EQ(control("airdrop.read", {{"index", 1}}), EncodableValue(true));
            if (step == "picker") control("airdrop.picker");
            if (step == "window") control("airdrop.window", {{"className", "NSWindow"}});
            if (step == "wait") h.loop.runUntil([] { return false; }, 1700ms);
        }
        EXPECT_EQ(bridge().panelUp(),
                  std::find(c.steps.begin(), c.steps.end(), std::string("picker")) != c.steps.end());
        control("airdrop.shared");
        EXPECT_EQ(outcomes(), std::vector<EncodableMap>{c.delivered ? kSent : kClosed});
    }
}

TEST_F(AirDrop, AFileMissingAtTheStartCountsOnlyOnceItIsThereToRead) {
    auto later = h.home / "later.JPG";
    send({{"paths", EncodableList{later}}, {"token", "T1"}});
    EXPECT_EQ(bridge().baseline(), std::vector<double>{-1.0});
    EXPECT_FALSE(bridge().filesWereRead());
    std::ofstream(later) << "now here";
    EXPECT_TRUE(bridge().filesWereRead());
}

TEST_F(AirDrop, TheSharingDaemonHoldingAFileIsDeliveryWithoutARead) {
    FakeSharingd daemon(files[0]);
    sendFiles();
    EXPECT_TRUE(h.loop.runUntil([&] { return bridge().sharingdSeen(); }, 10s));
    control("airdrop.shared", {{"count", 5}});
    EncodableMap sent = kSent;
    sent.set("count", 5);
    EXPECT_EQ(outcomes(), std::vector<EncodableMap>{sent});
}

TEST_F(AirDrop, OnlyTheUserCancelledErrorIsACancellation) {
    const std::tuple<const char*, int, bool> cases[] = {
        {"NSCocoaErrorDomain", 3072, true}, {"NSCocoaErrorDomain", 3071, false}, {"SHKErrorDomain", 3072, false}};
    for (const auto& [domain, code, cancelled] : cases) {
        h.events.clear();
        sendFiles();
        control("airdrop.failed", {{"domain", domain}, {"code", code}, {"description", "It went wrong."}});
        EXPECT_EQ(outcomes(), (std::vector<EncodableMap>{{{"type", "airdrop"},
                                                          {"token", "T1"},
                                                          {"ok", false},
                                                          {"cancelled", cancelled},
                                                          {"error", "It went wrong."}}}));
    }
    EXPECT_TRUE(h.log.contains("Lumivane AirDrop: failed at 0.0s \u2014 SHKErrorDomain 3072 It went wrong."));
}

TEST_F(AirDrop, ALateWordFromAnEarlierSendEndsNothing) {
    sendFiles("first");
    control("airdrop.failed", {{"domain", "NSCocoaErrorDomain"}, {"code", 3072}, {"description", "Cancelled."}});
    sendFiles("second");
    control("airdrop.shared", {{"perform", 0}});
    EXPECT_TRUE(bridge().sending());
    control("airdrop.failed", {{"domain", "NSCocoaErrorDomain"}, {"code", 3072}, {"description", "Cancelled."}});
    auto events = outcomes();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(*events[1].find("token"), EncodableValue("second"));
    EXPECT_EQ(*events[1].find("cancelled"), EncodableValue(true));
}

TEST(AirDropWatcher, OnlyTheExactDaemonLineCounts) {
    const std::pair<const char*, bool> cases[] = {
        {"p123\ncsharingd\n", true}, {"csharingd", true}, {"p1\ncsharingdX\n", false},
        {"p1\nCSHARINGD\n", false},  {"", false},         {"p1\nc sharingd\nf3\n", false},
    };
    for (const auto& [output, held] : cases) EXPECT_EQ(AirDropBridge::daemonHoldsFiles(output), held) << output;
}

namespace {
ManualClock manualClock;
struct AirDropWithAClock : AirDrop {
    AirDropWithAClock() : AirDrop(Host::Options{.clock = &manualClock}) {}
};
}  // namespace

TEST_F(AirDropWithAClock, ASendTheServiceNeverEndsEndsAfterTenMinutes) {
    sendFiles();
    manualClock.advance(std::chrono::minutes(9) + std::chrono::seconds(59));
    h.loop.runUntil([] { return false; }, 1200ms);
    EXPECT_TRUE(outcomes().empty());
    manualClock.advance(std::chrono::seconds(1));
    EXPECT_TRUE(h.loop.runUntil([&] { return !bridge().sending(); }, 3s));
    EXPECT_EQ(outcomes(), (std::vector<EncodableMap>{{{"type", "airdrop"},
                                                      {"token", "T1"},
                                                      {"ok", false},
                                                      {"cancelled", false},
                                                      {"error", "AirDrop didn\u2019t finish in time"}}}));
}
