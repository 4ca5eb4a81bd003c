#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "bridges/common/host_handler.h"
#include "platform/platform.h"
#include "platform/usbmux/usbmux_client.h"
#include "runtime/main_loop.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// The dispatcher of "lumivane/macos": offers each call to the bridges'
// handlers in chain order (camera, files and volumes, iPhone, AirDrop), and
// answers what none takes from its own table: "fullDiskAccessStatus",
// "openFullDiskAccessSettings", "window.launcher" and "listAppleDevices".
// None of its own methods answers a channel error.
//
// Everything runs on the main loop except the Apple device listing, which runs
// on the serial queue "lumivane.usbmux" (created on first use) and answers back
// on the main loop.
class MacSystemBridge {
public:
    // Lists Apple devices (on the usbmux queue); nullopt when the daemon is
    // unreachable or its list unusable.
    using AppleDeviceLister = std::function<std::optional<std::vector<UsbmuxClient::AppleDevice>>()>;

    static constexpr const char* kFullDiskAccessSettingsURL =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles";

    MacSystemBridge(Platform platform, MainLoop& loop, AppleDeviceLister lister);
    ~MacSystemBridge();

    // The handler chain, in the order calls are offered; a null entry (a bridge
    // not present) declines everything.
    void setHandlerChain(std::vector<HostHandler*> chain) { chain_ = std::move(chain); }

    void handle(const MethodCall& call, MethodResult result);

private:
    bool fullDiskAccessStatus() const;
    void setLauncher(bool on);
    AppWindow* findWindow();
    void listAppleDevices(MethodResult result);

    Platform platform_;
    MainLoop& loop_;
    AppleDeviceLister lister_;
    std::vector<HostHandler*> chain_;
    // Launcher mode: the window's frame and style mask from before it was
    // entered; both absent while it is off.
    std::optional<Rect> savedFrame_;
    std::optional<std::uint64_t> savedStyleMask_;
    std::unique_ptr<SerialQueue> usbmux_;  // last: drained first on destruction
};

}  // namespace lumivane
