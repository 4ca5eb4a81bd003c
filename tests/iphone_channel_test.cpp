// The iPhone methods through the host channel, over the simulated provider,
// driven as the interface and the demo drive them.
#include <gtest/gtest.h>
#include <filesystem>

#include "tests/support/host_harness.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

struct IPhoneChannel : ::testing::Test {
    HostHarness h;

    void SetUp() override {
        ASSERT_TRUE(h.mac.phones().ready());
        std::filesystem::create_directories(h.home / "phone/DCIM");
    }
    void control(const std::string& method, const EncodableMap& args) {
        auto response = h.call("sim/control", method, args);
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(response)) << method;
    }
    EncodableList list() {
        auto value = h.value("lumivane/macos", "iphone.list");
        auto* items = value.get<EncodableList>();
        return items ? *items : EncodableList{};
    }
    // Runs the main loop until `condition` holds (notices arrive on the provider's thread).
    bool eventually(const std::function<bool()>& condition) { return h.loop.runUntil(condition, 5s); }
};

}  // namespace

TEST_F(IPhoneChannel, ListFollowsAttachTrustAndDetachWithAnEventForEveryNotice) {
    h.value("lumivane/macos/events", "listen");
    control("phone.add", {{"udid", "P1"}, {"name", "Ada's iPhone"}, {"root", h.home / "phone"}, {"trusted", false}});
    control("phone.attach", {{"udid", "P1"}, {"link", "usb"}});
    ASSERT_TRUE(eventually([&] { return !list().empty(); }));
    ASSERT_TRUE(eventually([&] {
        return list()[0] ==
               EncodableValue(EncodableMap{{"udid", "P1"}, {"links", EncodableList{"usb"}}, {"paired", false}});
    })) << "an untrusted phone is listed as not paired";

    control("phone.set", {{"udid", "P1"}, {"trusted", true}});
    EXPECT_EQ(h.value("lumivane/macos", "iphone.setAutoWifi"), EncodableValue());  // no arguments: on, refreshes
    EXPECT_TRUE(eventually([&] {
        return list()[0] == EncodableValue(EncodableMap{{"udid", "P1"},
                                                        {"links", EncodableList{"usb"}},
                                                        {"paired", true},
                                                        {"name", "Ada's iPhone"},
                                                        {"wifiEnabled", true}});
    }));

    control("phone.attach", {{"udid", "P1"}, {"link", "wifi"}});
    EXPECT_TRUE(eventually([&] {
        auto items = list();
        return !items.empty() &&
               *items[0].get<EncodableMap>()->find("links") == EncodableValue(EncodableList{"usb", "wifi"});
    }));
    control("phone.detach", {{"udid", "P1"}, {"link", "usb"}});
    control("phone.detach", {{"udid", "P1"}, {"link", "wifi"}});
    EXPECT_TRUE(eventually([&] { return list().empty(); }));

    auto iphonesEvents = [&] {
        int n = 0;
        for (auto& [channel, event] : h.events)
            n += std::get<EncodableValue>(event) == EncodableValue(EncodableMap{{"type", "iphones"}});
        return n;
    };
    // Two attaches, the phone reported again once trusted (as MobileDevice
    // does when pairing completes), two detaches: every notice an event.
    // Counted once all have come, not as they pass through: a busy machine
    // delivers them together.
    EXPECT_TRUE(eventually([&] { return iphonesEvents() >= 5; }));
    EXPECT_EQ(iphonesEvents(), 5);

    // The simulated usbmux daemon lists the simulated phones too.
    control("phone.attach", {{"udid", "P1"}, {"link", "usb"}});
    auto devices = h.value("lumivane/macos", "listAppleDevices");
    ASSERT_TRUE(devices.get<EncodableList>());
    ASSERT_EQ(devices.get<EncodableList>()->size(), 1u);
    EXPECT_EQ(*(*devices.get<EncodableList>())[0].get<EncodableMap>()->find("udid"), EncodableValue("P1"));
}

TEST_F(IPhoneChannel, ImmediateMethodsAnswerAtOnce) {
    EXPECT_EQ(h.value("lumivane/macos", "iphone.available"), EncodableValue(true));
    EXPECT_EQ(h.value("lumivane/macos", "iphone.cancel", EncodableMap{{"token", "t1"}}), EncodableValue());
    EXPECT_EQ(h.value("lumivane/macos", "iphone.cancel"), EncodableValue());  // no token: nothing to do
    EXPECT_EQ(h.value("lumivane/macos", "iphone.setAutoWifi", EncodableMap{{"on", false}}), EncodableValue());
    EXPECT_EQ(h.value("lumivane/macos", "iphone.list"), EncodableValue(EncodableList{}));
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(h.call("lumivane/macos", "iphone.unknown")));
}

TEST_F(IPhoneChannel, AnAbsurdLatencyIsClampedNotOverflowed) {
    control("phone.add", {{"udid", "P1"}, {"root", h.home / "phone"}});
    control("phone.set", {{"udid", "P1"}, {"latencyMs", std::int64_t{INT64_MAX}}});  // UBSan: no signed overflow
}

TEST(IPhoneChannelWithoutFramework, EverythingSaysTheFrameworkIsMissing) {
    Host::Options options;
    options.bridges.iphone.provider = simulatedProviderPath("liblumivane_sim_mobile_device_incomplete.so");
    HostHarness h(options);
    EXPECT_EQ(h.value("lumivane/macos", "iphone.available"), EncodableValue(false));
    EXPECT_EQ(h.value("lumivane/macos", "iphone.list"), EncodableValue(EncodableList{}));
    EXPECT_TRUE(h.log.contains("Lumivane MobileDevice: missing AFCFileRefClose"));
    EXPECT_TRUE(h.log.contains("Lumivane: MobileDevice.framework unavailable; iPhones over Wi-Fi are off"));
}
