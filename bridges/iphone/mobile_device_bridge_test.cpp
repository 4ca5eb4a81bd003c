#include "bridges/iphone/mobile_device_bridge.h"

#include "bridges/iphone/iphone_bridge_fixture.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <future>

#include "platform/common/property_list.h"
#include "platform/sim/sim_phones.h"
#include "runtime/testing/build_paths.h"
#include "runtime/testing/temp_folder.h"

using namespace lumivane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST_F(IPhoneBridgeTest, AProviderMissingANameOrMissingAltogetherIsUnavailable) {
    Log local = Log::capturing();
    EXPECT_FALSE(MobileDevice::open(provider("liblumivane_sim_mobile_device_incomplete.so"), local));
    EXPECT_EQ(local.lines(), (std::vector<std::string>{"Lumivane MobileDevice: missing AFCFileRefClose"}));
    EXPECT_FALSE(MobileDevice::open(folder / "no-such-provider.so", local));

    auto without = makeBridge(nullptr);
    log.clear();
    without->subscribe();
    EXPECT_TRUE(log.contains("Lumivane: MobileDevice.framework unavailable; iPhones over Wi-Fi are off"));
    EXPECT_FALSE(without->available());
}

TEST_F(IPhoneBridgeTest, AttachAndDetachNoticesLogAndAnnounceTheChange) {
    auto udid = addPhone("");
    bool listening = true;
    std::vector<EncodableValue> sent;
    HostMessenger messenger;
    messenger.setOutbound([&](const std::string&, Bytes message) {
        sent.push_back(std::get<EncodableValue>(*StandardMethodCodec::decodeEnvelope(message.data(), message.size())));
    });
    events->onListen(EncodableValue(), std::make_unique<EventSink>(messenger, "lumivane/macos/events"));
    attach(udid, kWiFi);
    detach(udid, kWiFi);
    ASSERT_TRUE(waitFor([&] { return sent.size() == 2; }));
    EXPECT_EQ(sent[0], EncodableValue(EncodableMap{{"type", "iphones"}}));
    EXPECT_TRUE(log.contains("Lumivane iPhone " + udid + ": Wi-Fi attached"));
    EXPECT_TRUE(log.contains("Lumivane iPhone " + udid + ": Wi-Fi detached"));
    EXPECT_TRUE(listening);
}

TEST_F(IPhoneBridgeTest, AWifiOnlyPhoneIsNeverAskedForTrustAndKeepsItsDefaults) {
    auto udid = addPhone("", /*trusted=*/false);
    attach(udid, kWiFi);
    EXPECT_EQ(calls(udid, "pair"), 0u);
    EXPECT_EQ(calls(udid, "connect"), 0u);
    EXPECT_EQ(bridge->links().summaries(),
              (EncodableList{EncodableMap{{"udid", udid}, {"links", EncodableList{"wifi"}}, {"paired", true}}}));
    // A failed pairing check while opening a session does not change "paired".
    onPhone(udid, [&](IPhone& phone) {
        auto session = bridge->links().openSession(phone);
        ASSERT_FALSE(session.ok());
        // The name is read only once a session opens, so it is not known yet.
        EXPECT_EQ(session.error().message, "The iPhone doesn't trust this Mac yet. Plug it in and tap Trust.");
    });
    EXPECT_EQ(*bridge->links().summaries()[0].get<EncodableMap>()->find("paired"), EncodableValue(true));
}

TEST_F(IPhoneBridgeTest, AUsbPhoneThatTrustsUsGetsWifiSwitchedOnAndItsNameRead) {
    auto udid = addPhone("");
    attach(udid, kUSB);
    EXPECT_EQ(bridge->links().summaries(), (EncodableList{EncodableMap{{"udid", udid},
                                                                       {"links", EncodableList{"usb"}},
                                                                       {"paired", true},
                                                                       {"name", "Ada's iPhone"},
                                                                       {"wifiEnabled", true}}}));
    EXPECT_TRUE(log.contains("Lumivane iPhone " + udid + ": Wi-Fi turned on, kAMDSuccess (0x0)"));

    // With auto Wi-Fi off, a phone that has it off keeps it off.
    auto second = addPhone("-manual");
    bridge->links().setAutoWifi(false);
    attach(second, kUSB);
    auto summaries = bridge->links().summaries();
    for (auto& s : summaries)
        if (*s.get<EncodableMap>()->find("udid") == EncodableValue(second)) {
            EXPECT_EQ(*s.get<EncodableMap>()->find("wifiEnabled"), EncodableValue(false));
        }
    EXPECT_FALSE(log.contains("Lumivane iPhone " + second + ": Wi-Fi turned"));

    // Turning it on refreshes every known phone.
    bridge->links().setAutoWifi(true);
    drain(second);
    EXPECT_TRUE(log.contains("Lumivane iPhone " + second + ": Wi-Fi turned on"));
}

TEST_F(IPhoneBridgeTest, TrustIsAskedAtMostEveryThirtySeconds) {
    auto udid = addPhone("", /*trusted=*/false);
    attach(udid, kUSB);
    EXPECT_EQ(calls(udid, "pair"), 1u);
    EXPECT_TRUE(log.contains("Lumivane iPhone " + udid +
                             ": pairing asked, kAMDPairingDialogResponsePendingError (0xE8000096)"));
    EXPECT_EQ(*bridge->links().summaries()[0].get<EncodableMap>()->find("paired"), EncodableValue(false));
    clock.advance(30s);  // exactly 30 s: not yet
    detach(udid, kUSB);
    attach(udid, kUSB);
    EXPECT_EQ(calls(udid, "pair"), 1u);
    clock.advance(1ms);
    detach(udid, kUSB);
    attach(udid, kUSB);
    EXPECT_EQ(calls(udid, "pair"), 2u);
}

TEST_F(IPhoneBridgeTest, WithBothLinksSessionsUseWifi) {
    auto udid = addPhone("");
    attach(udid, kUSB);
    attach(udid, kWiFi);
    onPhone(udid, [&](IPhone& phone) {
        auto session = bridge->links().openSession(phone);
        ASSERT_TRUE(session.ok());
        MutexLock lock(phone.linkLock);
        EXPECT_EQ(session.value(), phone.wifi);
    });
}

TEST_F(IPhoneBridgeTest, UnpluggingUsbUnderAnOpenSessionClosesControlAndSession) {
    auto udid = addPhone("");
    attach(udid, kUSB);
    onPhone(udid, [&](IPhone& phone) {
        auto names = bridge->links().withControlConnection<std::vector<std::string>>(
            phone, [&](AFCConnection& c) { return listDirectory(*bridge->links().api(), c, "/DCIM"); });
        ASSERT_TRUE(names.ok());
        EXPECT_EQ(names.value(), std::vector<std::string>{"100APPLE"});
        EXPECT_TRUE(phone.control);
        EXPECT_TRUE(phone.session);
    });
    detach(udid, kUSB);
    onPhone(udid, [&](IPhone& phone) {
        EXPECT_FALSE(phone.control);
        EXPECT_EQ(phone.session, nullptr);
    });
}

TEST_F(IPhoneBridgeTest, TheControlRunnerReconnectsOnceOnlyForDroppedLinkCodes) {
    struct Case {
        const char* name;
        std::vector<std::int32_t> faults;  // codes of successive listing failures
        bool ok;
        std::uint64_t sessions;
        std::string error;
    } cases[] = {
        {"not connected once: reconnects and succeeds", {kAFCServiceNotConnected}, true, 2, ""},
        {"timeout once: reconnects and succeeds", {kAFCOperationTimeout}, true, 2, ""},
        {"too much data once: reconnects and succeeds", {kAFCTooMuchData}, true, 2, ""},
        {"mux error once: reconnects and succeeds", {kAFCMuxError}, true, 2, ""},
        {"timeout twice: the second failure is reported",
         {kAFCOperationTimeout, kAFCOperationTimeout},
         false,
         2,
         "Operation timed out: /DCIM"},
        {"not found: reported at once", {kAFCObjectNotFound}, false, 1, "Object not found: /DCIM"},
        {"an unnamed code", {99}, false, 1, "AFC error 99: /DCIM"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto udid = addPhone("-" + std::to_string(n++));
        attach(udid, kUSB);
        auto sessionsBefore = calls(udid, "session");  // the refresh opened one
        for (std::size_t i = 0; i < c.faults.size(); ++i)
            sim.LVSimAddFault(udid.c_str(), "dir", c.faults[i], static_cast<std::uint32_t>(i + 1), nullptr, 0);
        onPhone(udid, [&](IPhone& phone) {
            auto names = bridge->links().withControlConnection<std::vector<std::string>>(
                phone, [&](AFCConnection& conn) { return listDirectory(*bridge->links().api(), conn, "/DCIM"); });
            ASSERT_EQ(names.ok(), c.ok);
            if (!c.ok) {
                EXPECT_EQ(names.error().message, c.error);
            }
        });
        EXPECT_EQ(calls(udid, "session") - sessionsBefore, c.sessions);
    }
}

TEST_F(IPhoneBridgeTest, AServiceThatStartsWithoutAServiceTearsDownTheSession) {
    auto udid = addPhone("");
    attach(udid, kUSB);
    sim.LVSimAddFault(udid.c_str(), "service", 0, 1, nullptr, 0);
    onPhone(udid, [&](IPhone& phone) {
        auto opened = bridge->links().openAFCConnection(phone);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().message, "Ada's iPhone didn't open its photo storage: kAMDSuccess (0x0).");
        EXPECT_EQ(phone.session, nullptr);
    });
}

TEST_F(IPhoneBridgeTest, ADetachedPhoneIsUnlistedButKnownAndWaitsForALinkBeforeFailing) {
    auto udid = addPhone("");
    attach(udid, kWiFi);  // never refreshed: the name is not known
    detach(udid, kWiFi);
    EXPECT_TRUE(bridge->links().summaries().empty());
    ASSERT_TRUE(bridge->links().phone(udid));
    onPhone(udid, [&](IPhone& phone) {
        auto start = std::chrono::steady_clock::now();
        auto session = bridge->links().openSession(phone);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        ASSERT_FALSE(session.ok());
        EXPECT_EQ(session.error().message,
                  "The iPhone isn't answering over Wi-Fi. Wake it \u2014 turn its screen on \u2014 and try again.");
    });
    EXPECT_TRUE(log.contains("Lumivane iPhone " + udid + ": no link right now, waiting for it"));
}

// An import does not wait for a phone that has gone to come back: it is
// interrupted at once, and resumes when the phone does.
TEST_F(IPhoneBridgeTest, AnImportFromAPhoneWithNoLinkEndsAtOnceWithoutWaitingForOne) {
    bridge.reset();
    MobileDeviceBridge::Options options;
    options.linkWait = 10min;
    options.dataFolder = folder / "data";
    bridge = std::make_unique<MobileDeviceBridge>(MobileDevice::open(provider(), log), loop, events, log, clock,
                                                  imaging, options);
    bridge->subscribe();
    ImportSources sources;
    bridge->offerImports(sources);
    auto udid = addPhone("");
    attach(udid, kUSB);
    auto source = sources.open("iphone", udid);
    ASSERT_TRUE(source.ok());
    detach(udid, kUSB);
    auto listed = std::async(std::launch::async, [&] { return source.value()->list(); });
    bool ended = waitFor([&] { return listed.wait_for(0s) == std::future_status::ready; });
    if (!ended) sim.LVSimAttach(udid.c_str(), kUSB);  // lets a wait that should not be go
    ASSERT_TRUE(ended) << "the import waited for the phone to come back";
    ASSERT_FALSE(listed.get().ok());
}

TEST_F(IPhoneBridgeTest, ALinkArrivingDuringTheWaitEndsItEarly) {
    auto udid = addPhone("");
    attach(udid, kWiFi);
    detach(udid, kWiFi);
    auto phone = bridge->links().phone(udid);
    Semaphore done;
    std::optional<bool> ok;
    phone->queue.post([&] {
        ok = bridge->links().openSession(*phone).ok();
        done.signal();
    });
    std::this_thread::sleep_for(50ms);
    sim.LVSimAttach(udid.c_str(), kWiFi);
    ASSERT_TRUE(done.waitFor(5s));
    EXPECT_EQ(ok, true);
}

TEST_F(IPhoneBridgeTest, ASessionThatCannotBeReachedOrOpenedSaysWhichInTheFrameworksWords) {
    struct Case {
        const char* op;
        std::int32_t code;
        const char* text;
    } cases[] = {
        {"connect", kAMDDeviceDisconnectedError,
         "Couldn't reach Ada's iPhone: kAMDDeviceDisconnectedError (0xE8000084)."},
        {"session", kAMDSessionInactiveError, "Couldn't open Ada's iPhone: kAMDSessionInactiveError (0xE800001A)."},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        auto udid = addPhone("-" + std::to_string(n++));
        attach(udid, kWiFi);  // Wi-Fi only: no refresh, and the name is known from the add
        sim.LVSimAddFault(udid.c_str(), c.op, c.code, 1, nullptr, 0);
        onPhone(udid, [&](IPhone& phone) {
            {
                MutexLock info(phone.infoLock);
                phone.name = "Ada's iPhone";
            }
            auto opened = bridge->links().openSession(phone);
            ASSERT_FALSE(opened.ok());
            EXPECT_EQ(opened.error().message, c.text);
            EXPECT_EQ(phone.session, nullptr);
            EXPECT_TRUE(bridge->links().openSession(phone).ok());  // the fault fired once
        });
    }
}

TEST_F(IPhoneBridgeTest, ABridgeGoingWithWorkQueuedAndInFlightDropsTheQueueAndEndsQuickly) {
    auto udid = addPhone("");
    for (int i = 0; i < 200; ++i)
        std::ofstream(folder / udid + "/DCIM/100APPLE/IMG_" + std::to_string(2000 + i) + ".JPG") << "x";
    attach(udid, kUSB);
    sim.LVSimSetLatency(udid.c_str(), 20'000);  // 20 ms a call: the first scan takes half a second on 8 connections
    int answered = 0;
    for (int i = 0; i < 50; ++i) {
        MethodResult result(
            "iphone.media", [&](Bytes reply) { answered += !reply.empty(); }, log);
        bridge->handle(MethodCall{"iphone.media", EncodableMap{{"udid", udid}}}, result);
    }
    std::this_thread::sleep_for(100ms);  // the first scan is sizing now
    auto start = std::chrono::steady_clock::now();
    bridge->shutdown();
    bridge.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    loop.runUntil([] { return false; }, 50ms);
    EXPECT_LE(answered, 1);  // at most the scan in flight; nothing queued behind it
}
