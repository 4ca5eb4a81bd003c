#pragma once
#include <memory>

#include "app/sim_control.h"
#include "bridges/iphone/mobile_device_bridge.h"
#include "bridges/system/event_handler.h"
#include "bridges/system/mac_system_bridge.h"
#include "bridges/system/usbmux_client.h"
#include "channel/binary_messenger.h"
#include "channel/event_channel.h"
#include "channel/method_channel.h"
#include "platform/platform.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The host: owns the messenger, the host channels and every bridge for the life
// of the process (a test builds a fresh one over a fresh simulated Mac).
// Constructed, started and destroyed on the main thread.
class Host {
public:
    struct Options {
        bool simulated = true;  // installs "sim/control"
        const Clock* clock = nullptr;  // none: the system clock
        std::chrono::milliseconds usbmuxTimeout = std::chrono::seconds(2);
        std::string mobileDeviceProvider;  // the MobileDevice provider library; empty: none
        std::chrono::milliseconds linkWait = std::chrono::seconds(25);
    };
    static constexpr const char* kFrameAutosaveName = "LumivaneMainWindow.v2";
    static constexpr Size kMinimumContentSize{560, 480};

    Host(Platform platform, MainLoop& loop, Log& log, Options options);
    ~Host();

    // The start-up sequence, run once when the main window has loaded.
    void start();

    HostMessenger& messenger() { return messenger_; }
    SimControl* simControl() { return simControl_.get(); }
    EventHandler& events() { return *eventHandler_; }
    MobileDeviceBridge* iphone() { return iphone_.get(); }

private:
    void applyDefaultSize(AppWindow& window);
    void installHostChannels();
    void trace(const std::string& step);
    // Application Support + the bundle identifier ("Lumivane" without one).
    std::string localDataFolder() const;

    // Seams for the bridges that are not part of this build yet: each marks
    // its place in the start-up order.
    void startCameraDiscovery() { trace("camera discovery"); }
    void startVolumeWatch() { trace("volume watch"); }
    void startPhoneSubscription();
    void installBonjourChannels() { trace("channels lumivane/bonjour, lumivane/bonjour/events"); }

    Platform platform_;
    MainLoop& loop_;
    Log& log_;
    Options options_;
    SystemClock systemClock_;
    const Clock& clock_;
    // Used only on the usbmux queue, which the system bridge owns and drains
    // before this is destroyed.
    std::unique_ptr<UsbmuxClient> usbmux_;
    HostMessenger messenger_;
    std::unique_ptr<MethodChannel> macosChannel_;
    std::unique_ptr<EventChannel> eventsChannel_;
    std::unique_ptr<MethodChannel> libraryChannel_;
    std::shared_ptr<EventHandler> eventHandler_;
    std::unique_ptr<MobileDeviceBridge> iphone_;
    std::unique_ptr<MacSystemBridge> systemBridge_;  // after the bridges its chain points to
    std::unique_ptr<SimControl> simControl_;
};

}  // namespace lumivane
