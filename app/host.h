#pragma once
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/bridge_table.h"
#include "bridges/common/bridge.h"
#include "bridges/common/event_handler.h"
#include "bridges/system/mac_system_bridge.h"
#include "channel/binary_messenger.h"
#include "channel/event_channel.h"
#include "channel/method_channel.h"
#include "platform/platform.h"
#include "platform/usbmux/usbmux_client.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The host: owns the messenger, the host channels, the dispatcher and every
// bridge of the bridge table for the life of the process (a test builds a
// fresh one over a fresh simulated Mac). Constructed, started and destroyed on
// the main thread.
class Host {
public:
    struct Options {
        const Clock* clock = nullptr;  // none: the system clock
        std::chrono::milliseconds usbmuxTimeout = std::chrono::seconds(2);
        BridgeOptions bridges;
    };
    static constexpr const char* kFrameAutosaveName = "LumivaneMainWindow.v2";
    static constexpr Size kMinimumContentSize{560, 480};

    Host(Platform platform, MainLoop& loop, Log& log, Options options,
         std::span<const BridgeRow> bridges = bridgeTable());
    ~Host();

    // The start-up sequence, run once when the main window has loaded.
    void start();
    // Tells every bridge the host is going (see Bridge::shutdown); the
    // destructor does it too when it was not done.
    void shutdown();

    HostMessenger& messenger() { return messenger_; }
    EventHandler& events() { return *eventHandler_; }
    // The bridge of the table row called `name`; null before start() or when
    // this build has none.
    Bridge* bridge(const std::string& name);
    // Where the host keeps its data: Application Support + the bundle
    // identifier ("Lumivane" without one).
    std::string localDataFolder() const;

private:
    void applyDefaultSize(AppWindow& window);
    void createBridges();
    void installHostChannels();
    void startBridges();
    void trace(const std::string& step);

    Platform platform_;
    MainLoop& loop_;
    Log& log_;
    Options options_;
    std::span<const BridgeRow> table_;
    SystemClock systemClock_;
    const Clock& clock_;
    // Used only on the usbmux queue, which the system bridge owns and drains
    // before this is destroyed.
    std::unique_ptr<UsbmuxClient> usbmux_;
    HostMessenger messenger_;
    std::unique_ptr<MethodChannel> macosChannel_;
    std::unique_ptr<EventChannel> eventsChannel_;
    std::shared_ptr<EventHandler> eventHandler_;
    ImportSources importSources_;                   // outlives the bridges that add to it
    std::vector<std::unique_ptr<Bridge>> bridges_;  // in table order; destroyed last row first
    bool shutDown_ = false;
    std::unique_ptr<MacSystemBridge> systemBridge_;  // after the bridges its chain points to
};

}  // namespace lumivane
