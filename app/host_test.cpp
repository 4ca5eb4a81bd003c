#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/plugins.h"
#include "tests/support/host_harness.h"

using namespace lumivane;
using ::testing::ElementsAre;

namespace {

Rect windowFrame(HostHarness& h) { return h.mac.windows().window()->frame(); }
Size contentSize(HostHarness& h) { return h.mac.windows().window()->contentSize(); }

class TakingHandler : public HostHandler {
public:
    bool handle(const MethodCall& call, MethodResult& result) override {
        if (call.method != "fullDiskAccessStatus") return false;
        result.success("taken by a bridge");
        return true;
    }
};

}  // namespace

TEST(Startup, StepsHappenInOrder) {
    HostHarness h;
    std::vector<std::string> expected = {
        "legacy data move",
        "window.setContentViewController",
        "window.setFrame 200 200 800 628",  // the frame from before the content was installed
        "window.setContentSize 1368 855",
        "window.center",
        "window.setContentMinSize",
        "window.setRestorable NO",
        "window.setFrameAutosaveName LumivaneMainWindow.v2",
    };
    for (const auto& plugin : kPlugins) expected.push_back(std::string("plugin ") + plugin.key);
    for (const char* step :
         {"channel lumivane/macos", "channel lumivane/macos/events", "camera discovery", "volume watch",
          "phone subscription", "channel lumivane/library", "channels lumivane/bonjour, lumivane/bonjour/events",
          "channels lumivane/import, lumivane/import/events"})
        expected.push_back(step);
    EXPECT_EQ(h.mac.journal().entries(), expected);
    EXPECT_EQ(std::string(kPlugins[0].key), "BatteryPlusMacosPlugin");
    EXPECT_EQ(std::string(kPlugins[12].key), "WorkmanagerPlugin");
}

TEST(Startup, DefaultContentSizeFollowsTheScreen) {
    struct Case {
        std::vector<Rect> screens;
        Size content;
    } cases[] = {
        {{{0, 0, 1440, 900}}, {1368, 855}},
        {{{0, 0, 1280, 720}}, {1216, 684}},
        {{{0, 0, 1920, 1080}}, {1440, 920}},  // capped
        {{}, {1368, 855}},                    // no screen known
    };
    for (const auto& c : cases) {
        HostHarness h({}, "com.lumivane.app", false);
        h.mac.windows().setScreens(c.screens);
        h.host->start();
        EXPECT_EQ(contentSize(h), c.content);
        if (!c.screens.empty()) {
            Rect f = windowFrame(h);
            EXPECT_DOUBLE_EQ(f.midX(), c.screens[0].midX());
            EXPECT_DOUBLE_EQ(f.midY(), c.screens[0].midY());
        }
        EXPECT_EQ(h.mac.windows().window()->contentMinSize(), (Size{560, 480}));
        EXPECT_FALSE(h.mac.windows().window()->restorable());
    }
}

TEST(Startup, SavedFrameWinsOnTheNextStartButNeverGoesBelowTheMinimum) {
    for (auto [saved, expected] : {std::pair<std::string, Rect>{"10 20 900 700", {10, 20, 900, 700}},
                                   std::pair<std::string, Rect>{"10 20 100 100", {10, 20, 560, 508}}}) {
        HostHarness h({}, "com.lumivane.app", false);
        h.mac.defaults().set("NSWindow Frame LumivaneMainWindow.v2", saved);
        h.mac.defaults().set("NSWindow Frame LumivaneMainWindow", "0 0 50 50");  // an older name: ignored
        h.host->start();
        EXPECT_EQ(windowFrame(h), expected) << saved;
        EXPECT_EQ(h.mac.windows().window()->contentMinSize(), (Size{560, 480}));
    }
}

TEST(Startup, FrameIsSavedUnderTheAutosaveNameAndRestoredAfterARestart) {
    TempFolder home;
    {
        MainLoop loop;
        Log log = Log::capturing();
        SimMac mac({home.path(), "com.lumivane.app", ""}, loop);
        Host host(mac.platform(), loop, log, {});
        host.start();
        mac.windows().window()->setFrame({33, 44, 1000, 700}, true, false);
    }
    MainLoop loop;
    Log log = Log::capturing();
    SimMac mac({home.path(), "com.lumivane.app", ""}, loop);
    Host host(mac.platform(), loop, log, {});
    host.start();
    EXPECT_EQ(mac.windows().window()->frame(), (Rect{33, 44, 1000, 700}));
}

TEST(HostChannel, ABridgeThatTakesACallHidesTheDispatchersOwnMethod) {
    HostHarness h;
    // Nothing takes it at first: the dispatcher's own answer.
    EXPECT_EQ(h.value("lumivane/macos", "fullDiskAccessStatus"), EncodableValue(false));
    // A real bridge chain is wired by the host; here a fresh bridge gets one that takes the name.
    TakingHandler taking;
    MacSystemBridge bridge(h.mac.platform(), h.loop, nullptr);
    bridge.setHandlerChain({nullptr, &taking, nullptr, nullptr});
    std::optional<Bytes> reply;
    bridge.handle({"fullDiskAccessStatus", EncodableValue()},
                  MethodResult(
                      "fullDiskAccessStatus", [&](Bytes b) { reply = std::move(b); }, h.log));
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::get<EncodableValue>(*StandardMethodCodec::decodeEnvelope(reply->data(), reply->size())),
              EncodableValue("taken by a bridge"));
}

TEST(HostChannel, FullDiskAccessFollowsWhetherTheProbeFileOpens) {
    HostHarness h;
    EXPECT_EQ(h.value("lumivane/macos", "fullDiskAccessStatus"), EncodableValue(false));
    auto folder = h.home / "Library/Application Support/com.apple.TCC";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/TCC.db") << "x";
    EXPECT_EQ(h.value("lumivane/macos", "fullDiskAccessStatus"), EncodableValue(true));
}

TEST(HostChannel, OpenFullDiskAccessSettingsOpensThePrivacyPane) {
    HostHarness h;
    EXPECT_EQ(h.value("lumivane/macos", "openFullDiskAccessSettings"), EncodableValue());
    EXPECT_THAT(h.mac.workspace().openedURLs(),
                ElementsAre("x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"));
}

TEST(HostChannel, UnknownNamesAreNotImplemented) {
    HostHarness h;
    for (const char* method : {"no.such.method", "camera.noSuchMethod", "iphone.noSuchMethod", "airdrop.noSuchMethod",
                               "volume.noSuchMethod"})
        EXPECT_TRUE(std::holds_alternative<NotImplemented>(h.call("lumivane/macos", method))) << method;
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(h.call("lumivane/library", "fileSizes")));
}

TEST(Launcher, GeometryFollowsTheVisibleFrame) {
    struct Case {
        std::vector<Rect> screens;
        Rect frame;
    } cases[] = {
        {{{0, 0, 1920, 1080}}, {480, 270, 960, 540}},
        {{{0, 0, 1280, 800}}, {192, 148, 896, 504}},
        {{{100, 50, 1280, 800}}, {292, 198, 896, 504}},
        {{}, {240, 180, 960, 540}},  // no screen: the 1440 x 900 fallback
    };
    for (const auto& c : cases) {
        HostHarness h;
        h.mac.windows().setScreens(c.screens);
        Rect before = windowFrame(h);
        EXPECT_EQ(h.value("lumivane/macos", "window.launcher", EncodableMap{{"on", true}}), EncodableValue());
        EXPECT_EQ(windowFrame(h), c.frame);
        EXPECT_EQ(h.mac.windows().window()->styleMask(), 0x8000u);
        EXPECT_TRUE(h.mac.windows().window()->movable());
        h.value("lumivane/macos", "window.launcher", EncodableMap{{"on", false}});
        EXPECT_EQ(windowFrame(h), before);
        EXPECT_EQ(h.mac.windows().window()->styleMask(), 15u);
        EXPECT_FALSE(h.mac.windows().window()->movable());
    }
}

TEST(Launcher, EnteringTwiceThenLeavingRestoresTheFrameFromBeforeTheFirstEntry) {
    HostHarness h;
    Rect before = windowFrame(h);
    h.value("lumivane/macos", "window.launcher", EncodableMap{{"on", true}});
    h.mac.windows().window()->setFrame({5, 5, 700, 400}, true, false);  // the user moves it
    h.value("lumivane/macos", "window.launcher", EncodableMap{{"on", true}});
    EXPECT_EQ(windowFrame(h), (Rect{5, 5, 700, 400}));  // the second entry changes nothing
    h.value("lumivane/macos", "window.launcher", EncodableMap{{"on", false}});
    EXPECT_EQ(windowFrame(h), before);
}

TEST(Launcher, AnythingButOnTrueLeavesOrDoesNothing) {
    const EncodableValue offArguments[] = {EncodableValue(), EncodableValue(EncodableMap{}),
                                           EncodableValue(EncodableMap{{"on", "true"}}),
                                           EncodableValue(EncodableMap{{"on", 1}}), EncodableValue(true)};
    for (const auto& arguments : offArguments) {
        HostHarness h;
        Rect before = windowFrame(h);
        // While off, it changes nothing.
        EXPECT_EQ(h.value("lumivane/macos", "window.launcher", arguments), EncodableValue());
        EXPECT_EQ(windowFrame(h), before);
        // While on, it leaves.
        h.value("lumivane/macos", "window.launcher", EncodableMap{{"on", true}});
        h.value("lumivane/macos", "window.launcher", arguments);
        EXPECT_EQ(windowFrame(h), before);
    }
}

TEST(HostChannel, ListAppleDevicesListsTheSimulatedDaemonsDevicesAndNullWithoutADaemon) {
    HostHarness h;
    h.mac.usbmux().addDevice({.udid = "00008110-000A", .name = "Ada's iPhone", .usb = true, .wifi = true});
    EXPECT_EQ(h.value("lumivane/macos", "listAppleDevices"),
              EncodableValue(EncodableList{EncodableMap{{"udid", "00008110-000A"},
                                                        {"links", EncodableList{"usb", "wifi"}},
                                                        {"name", "Ada's iPhone"},
                                                        {"deviceClass", "iPhone"},
                                                        {"productType", "iPhone15,2"},
                                                        {"osVersion", "17.5"}}}));

    HostHarness without;
    without.mac.environment().overrideVariable("USBMUXD_SOCKET_ADDRESS", "UNIX:" + (without.home / "no-daemon"));
    without.control.reset();
    without.host = std::make_unique<Host>(without.mac.platform(), without.loop, without.log, Host::Options{});
    without.host->start();
    EXPECT_EQ(without.value("lumivane/macos", "listAppleDevices"), EncodableValue());
}

TEST(Events, ListenStoresTheSinkCancelClearsItAndEventsWithoutAListenerAreDropped) {
    HostHarness h;
    h.host->events().send(EncodableMap{{"type", "cameras"}});
    EXPECT_TRUE(h.events.empty());

    h.value("lumivane/macos/events", "listen");
    std::thread([&] { h.host->events().post(EncodableMap{{"type", "iphones"}}); }).join();
    h.loop.runUntil([&] { return !h.events.empty(); }, std::chrono::seconds(2));
    ASSERT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.events[0].first, "lumivane/macos/events");
    EXPECT_EQ(std::get<EncodableValue>(h.events[0].second), EncodableValue(EncodableMap{{"type", "iphones"}}));

    h.value("lumivane/macos/events", "cancel");
    h.host->events().send(EncodableMap{{"type", "volumes"}});
    EXPECT_EQ(h.events.size(), 1u);
}

TEST(Window, ClosingTheWindowQuitsTheHost) {
    HostHarness h;
    bool ran = false;
    h.loop.post([&] { h.mac.windows().closeMainWindow(); });
    h.loop.addTimer(std::chrono::seconds(5), [&] { ran = true; });
    h.loop.run();  // returns only because closing the window quit it
    EXPECT_FALSE(ran);
}

namespace {

// A bridge that records its start in the journal and takes calls with its prefix.
class FakeBridge final : public Bridge, public HostHandler {
public:
    FakeBridge(std::string prefix, Journal& journal) : prefix_(std::move(prefix)), journal_(journal) {}
    HostHandler* hostHandler() override { return this; }
    void start(BinaryMessenger&) override { journal_.add("start " + prefix_); }
    bool handle(const MethodCall& call, MethodResult& result) override {
        journal_.add("offered " + prefix_ + " " + call.method);
        if (call.method.rfind(prefix_, 0) != 0) return false;
        result.success(prefix_);
        return true;
    }

private:
    std::string prefix_;
    Journal& journal_;
};

Journal* fakeJournal = nullptr;  // the journal the fake rows record into, for the one test below

template <const char* Prefix>
std::unique_ptr<Bridge> makeFake(const BridgeContext&, const BridgeOptions&) {
    return std::make_unique<FakeBridge>(Prefix, *fakeJournal);
}
constexpr char kAirdrop[] = "airdrop.", kCamera[] = "camera.", kLibrary[] = "library.", kFiles[] = "volume.";

}  // namespace

TEST(BridgeTable, RowOrderIsChainOrderAndStartOrder) {
    // The library is started but takes no host channel calls; AirDrop takes
    // them but has nothing to start.
    const BridgeRow rows[] = {
        {"camera", true, "camera discovery", makeFake<kCamera>},
        {"files", true, "volume watch", makeFake<kFiles>},
        {"library", false, "channel lumivane/library", makeFake<kLibrary>},
        {"airdrop", true, nullptr, makeFake<kAirdrop>},
    };
    HostHarness h({}, "com.lumivane.app", false);
    fakeJournal = &h.mac.journal();
    h.control.reset();
    h.host = std::make_unique<Host>(h.mac.platform(), h.loop, h.log, Host::Options{}, rows);
    h.host->start();
    auto entries = h.mac.journal().entries();
    auto from = std::find(entries.begin(), entries.end(), "channel lumivane/macos/events");
    ASSERT_NE(from, entries.end());
    EXPECT_EQ(std::vector<std::string>(from + 1, entries.end()),
              (std::vector<std::string>{"start camera.", "camera discovery", "start volume.", "volume watch",
                                        "start library.", "channel lumivane/library"}));
    EXPECT_NE(h.host->bridge("files"), nullptr);
    EXPECT_EQ(h.host->bridge("iphone"), nullptr);

    auto before = h.mac.journal().entries().size();
    EXPECT_EQ(h.value("lumivane/macos", "airdrop.send"), EncodableValue("airdrop."));
    entries = h.mac.journal().entries();
    EXPECT_EQ(std::vector<std::string>(entries.begin() + static_cast<std::ptrdiff_t>(before), entries.end()),
              (std::vector<std::string>{"offered camera. airdrop.send", "offered volume. airdrop.send",
                                        "offered airdrop. airdrop.send"}));  // the library has no place
    fakeJournal = nullptr;
}
