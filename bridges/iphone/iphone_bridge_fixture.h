#pragma once
// The iPhone bridge's test fixture: a bridge over the simulated provider.
#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "bridges/iphone/mobile_device_bridge.h"
#include "platform/common/mobile_device_loader.h"
#include "platform/common/property_list.h"
#include "platform/sim/sim_phones.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/group.h"
#include "runtime/testing/build_paths.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline std::string provider(const char* name = "liblumivane_sim_mobile_device.so") {
    return simulatedProviderPath(name);
}

constexpr std::uint32_t kUSB = kAMDInterfaceUSB;
constexpr std::uint32_t kWiFi = kAMDInterfaceWiFi;

// A bridge over the simulated provider, with a manual clock and a short link
// wait. Every test gets fresh phones (UDIDs carry the test's name).
class IPhoneBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.open(provider()));
        sim.LVSimReset();
        bridge = makeBridge(MobileDevice::open(provider(), log));
        bridge->subscribe();
    }

    std::unique_ptr<MobileDeviceBridge> makeBridge(std::unique_ptr<MobileDevice> api) {
        events = std::make_shared<EventHandler>(loop);
        MobileDeviceBridge::Options options;
        options.linkWait = 300ms;
        options.dataFolder = folder / "data";
        return std::make_unique<MobileDeviceBridge>(std::move(api), loop, events, log, clock, imaging, options);
    }

    // A phone whose folder holds a few files.
    std::string addPhone(const std::string& suffix, bool trusted = true, const std::string& name = "Ada's iPhone") {
        std::string udid = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + suffix;
        auto root = folder / udid;
        fs::create_directories(root + "/DCIM/100APPLE");
        std::ofstream(root + "/DCIM/100APPLE/IMG_0001.JPG") << "0123456789";
        sim.LVSimAddPhone(udid.c_str(), name.c_str(), root.c_str(), trusted);
        return udid;
    }

    bool waitFor(const std::function<bool()>& condition) { return loop.runUntil(condition, 5s); }

    // Runs `work` on the phone's queue and waits for it.
    void onPhone(const std::string& udid, const std::function<void(IPhone&)>& work) {
        auto phone = bridge->links().phone(udid);
        ASSERT_TRUE(phone);
        Semaphore done;
        phone->queue.post([&] {
            work(*phone);
            done.signal();
        });
        ASSERT_TRUE(done.waitFor(10s));
    }
    void drain(const std::string& udid) {
        onPhone(udid, [](IPhone&) {});
    }
    // Attaches and waits until the bridge has handled the notice and the
    // phone's queue has run what the notice posted (its refresh). The notice's
    // log line is written after those posts, so waiting for the handle alone
    // could drain the queue before the refresh is on it.
    void attach(const std::string& udid, std::uint32_t link) {
        noticeAndDrain(
            udid, link, [&] { sim.LVSimAttach(udid.c_str(), link); }, "attached");
    }
    void detach(const std::string& udid, std::uint32_t link) {
        noticeAndDrain(
            udid, link, [&] { sim.LVSimDetach(udid.c_str(), link); }, "detached");
    }
    void noticeAndDrain(const std::string& udid, std::uint32_t link, const std::function<void()>& notice,
                        const std::string& what) {
        std::string line = "Lumivane iPhone " + udid + ": " + (link == kUSB ? "USB " : "Wi-Fi ") + what;
        auto seen = [&] {
            auto lines = log.lines();
            return std::count(lines.begin(), lines.end(), line);
        };
        auto before = seen();
        notice();
        ASSERT_TRUE(waitFor([&] { return seen() > before; }));
        drain(udid);
    }
    std::uint64_t calls(const std::string& udid, const char* op) { return sim.LVSimCallCount(udid.c_str(), op); }

    TempFolder folder;
    SimPhones sim;
    MainLoop loop;
    Log log = Log::capturing();
    ManualClock clock;
    VipsImaging imaging;
    std::shared_ptr<EventHandler> events;
    std::unique_ptr<MobileDeviceBridge> bridge;
};

}  // namespace lumivane
