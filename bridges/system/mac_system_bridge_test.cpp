#include "bridges/system/mac_system_bridge.h"

#include <gtest/gtest.h>
#include <thread>

#include "platform/sim/sim_mac.h"
#include "runtime/testing/temp_folder.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

// Takes the calls whose names start with its prefix, and notes every call it
// was offered.
class PrefixHandler : public HostHandler {
public:
    PrefixHandler(std::string prefix, std::vector<std::string>& offers) : prefix_(std::move(prefix)), offers_(offers) {}
    bool handle(const MethodCall& call, MethodResult& result) override {
        offers_.push_back(prefix_ + call.method);
        if (call.method.rfind(prefix_, 0) != 0) return false;
        result.success(prefix_);
        return true;
    }

private:
    std::string prefix_;
    std::vector<std::string>& offers_;
};

struct Fixture {
    explicit Fixture(MacSystemBridge::AppleDeviceLister lister = nullptr)
        : mac(SimMac::Options{home.path(), "com.lumivane.app", ""}, loop),
          bridge(mac.platform(), loop, std::move(lister)) {}

    MethodResponse call(const std::string& method, const EncodableValue& arguments = EncodableValue()) {
        std::optional<Bytes> reply;
        bridge.handle({method, arguments}, MethodResult(
                                               method, [&](Bytes b) { reply = std::move(b); }, log));
        loop.runUntil([&] { return reply.has_value(); }, 5s);
        if (!reply) return MethodError{"test", "no answer", EncodableValue()};
        return *StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
    }

    TempFolder home;
    MainLoop loop;
    Log log = Log::capturing();
    SimMac mac;
    MacSystemBridge bridge;
};

}  // namespace

TEST(MacSystemBridge, OffersEachCallToTheChainInOrderAndTheFirstTakerAnswers) {
    Fixture f;
    std::vector<std::string> offers;
    PrefixHandler camera("camera.", offers), files("volume.", offers), iphone("iphone.", offers);
    f.bridge.setHandlerChain({&camera, &files, &iphone});

    EXPECT_EQ(std::get<EncodableValue>(f.call("volume.list")), EncodableValue("volume."));
    EXPECT_EQ(offers, (std::vector<std::string>{"camera.volume.list", "volume.volume.list"}));  // iphone never asked

    offers.clear();
    EXPECT_EQ(std::get<EncodableValue>(f.call("fullDiskAccessStatus")), EncodableValue(false));  // declined by all
    EXPECT_EQ(offers.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(f.call("no.such.method")));
}

TEST(MacSystemBridge, AppleDevicesBecomeMapsWithOnlyTheValuesRead) {
    using Device = UsbmuxClient::AppleDevice;
    std::optional<std::vector<Device>> listed = std::vector<Device>{
        {"A", {"usb", "wifi"}, "Ada", "iPhone", "iPhone15,2", "17.5"},
        {"B", {"wifi"}, std::nullopt, "iPad", std::nullopt, std::nullopt},
    };
    std::thread::id listedOn;
    Fixture f([&]() {
        listedOn = std::this_thread::get_id();
        return listed;
    });
    EXPECT_EQ(std::get<EncodableValue>(f.call("listAppleDevices")),
              EncodableValue(EncodableList{
                  EncodableMap{{"udid", "A"},
                               {"links", EncodableList{"usb", "wifi"}},
                               {"name", "Ada"},
                               {"deviceClass", "iPhone"},
                               {"productType", "iPhone15,2"},
                               {"osVersion", "17.5"}},
                  EncodableMap{{"udid", "B"}, {"links", EncodableList{"wifi"}}, {"deviceClass", "iPad"}}}));
    EXPECT_NE(listedOn, std::this_thread::get_id());  // off the main loop

    listed.reset();  // the daemon is unreachable
    EXPECT_EQ(std::get<EncodableValue>(f.call("listAppleDevices")), EncodableValue());
}

TEST(MacSystemBridge, TheLauncherOfAWindowOffEveryScreenTakesItsSizeFromTheMainScreen) {
    Fixture f;
    f.mac.windows().setScreens({{0, 0, 1920, 1080}, {1920, 0, 1280, 800}});
    auto* window = f.mac.windows().window();
    struct Case {
        const char* name;
        Rect before;
        Rect launcher;
    } cases[] = {
        {"on the second screen", {2000, 100, 800, 600}, {2112, 148, 896, 504}},
        {"off every screen: the main screen", {-5000, -5000, 800, 600}, {480, 270, 960, 540}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window->setFrame(c.before, true, false);
        f.call("window.launcher", EncodableMap{{"on", true}});
        EXPECT_EQ(window->frame(), c.launcher);
        f.call("window.launcher", EncodableMap{{"on", false}});
        EXPECT_EQ(window->frame(), c.before);
    }
}
