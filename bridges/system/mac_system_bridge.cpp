#include "bridges/system/mac_system_bridge.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>

#include "bridges/common/method_table.h"
#include "bridges/common/pending_result.h"
#include "channel/arguments.h"

namespace lumivane {

namespace {
constexpr double kLauncherWidthFactor = 0.7;
constexpr double kLauncherWidthCap = 960;
constexpr Rect kFallbackVisibleFrame{0, 0, 1440, 900};

// A device as the interface sees it: "udid", "links", then whichever of
// "name", "deviceClass", "productType", "osVersion" were read.
EncodableValue deviceMap(const UsbmuxClient::AppleDevice& device) {
    EncodableMap map{{"udid", device.udid}, {"links", EncodableList(device.links.begin(), device.links.end())}};
    const std::pair<const char*, const std::optional<std::string>*> values[] = {{"name", &device.name},
                                                                                {"deviceClass", &device.deviceClass},
                                                                                {"productType", &device.productType},
                                                                                {"osVersion", &device.osVersion}};
    for (const auto& [key, value] : values)
        if (*value) map.set(key, **value);
    return map;
}
}  // namespace

MacSystemBridge::MacSystemBridge(Platform platform, MainLoop& loop, AppleDeviceLister lister)
    : platform_(std::move(platform)), loop_(loop), lister_(std::move(lister)) {}

MacSystemBridge::~MacSystemBridge() = default;

void MacSystemBridge::handle(const MethodCall& call, MethodResult result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    for (auto* handler : chain_)
        if (handler && handler->handle(call, result)) return;

    static const MethodTable<MacSystemBridge> table{
        {"fullDiskAccessStatus", [](MacSystemBridge& bridge, const Arguments&,
                                    MethodResult& result) { result.success(bridge.fullDiskAccessStatus()); }},
        {"openFullDiskAccessSettings",
         [](MacSystemBridge& bridge, const Arguments&, MethodResult& result) {
             bridge.platform_.workspace.openURL(kFullDiskAccessSettingsURL);
             result.success();
         }},
        {"window.launcher",
         [](MacSystemBridge& bridge, const Arguments& args, MethodResult& result) {
             bridge.setLauncher(args.boolean("on").value_or(false));
             result.success();
         }},
        {"listAppleDevices", [](MacSystemBridge& bridge, const Arguments&,
                                MethodResult& result) { bridge.listAppleDevices(std::move(result)); }},
    };
    if (!table.dispatch(*this, call, result)) result.notImplemented();
}

bool MacSystemBridge::fullDiskAccessStatus() const {
    // The privacy database is readable only with Full Disk Access, so whether
    // it opens is the grant state. Nothing is read.
    auto probe = platform_.environment.homeDirectory() + "/Library/Application Support/com.apple.TCC/TCC.db";
    int fd = ::open(probe.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

AppWindow* MacSystemBridge::findWindow() {
    for (auto* window : platform_.windows.windows())
        if (window->isMainFlutterWindow()) return window;
    return platform_.windows.mainWindow();
}

void MacSystemBridge::setLauncher(bool on) {
    AppWindow* window = findWindow();
    if (!window) return;
    if (on) {
        if (savedFrame_) return;  // already on: keep the frame from before the first entry
        savedFrame_ = window->frame();
        savedStyleMask_ = window->styleMask();
        auto screen = window->screenVisibleFrame();
        if (!screen) screen = platform_.windows.mainScreenVisibleFrame();
        Rect visible = screen.value_or(kFallbackVisibleFrame);
        double width = std::min(visible.width * kLauncherWidthFactor, kLauncherWidthCap);
        double height = width * 9 / 16;
        window->setStyleMask(kStyleFullSizeContentView);
        window->setMovableByWindowBackground(true);
        window->setFrame({visible.midX() - width / 2, visible.midY() - height / 2, width, height}, true, false);
        window->makeKeyAndOrderFront();
    } else {
        if (!savedFrame_ || !savedStyleMask_) return;
        Rect frame = *savedFrame_;
        std::uint64_t mask = *savedStyleMask_;
        savedFrame_.reset();
        savedStyleMask_.reset();
        window->setStyleMask(mask);
        window->setMovableByWindowBackground(false);
        window->setFrame(frame, true, true);
        window->makeKeyAndOrderFront();
    }
}

void MacSystemBridge::listAppleDevices(MethodResult result) {
    if (!usbmux_) usbmux_ = std::make_unique<SerialQueue>("lumivane.usbmux");
    usbmux_->post([lister = lister_, pending = PendingResult(std::move(result), loop_)] {
        auto devices = lister ? lister() : std::nullopt;
        EncodableValue answer;  // null when the daemon could not be asked
        if (devices) {
            EncodableList maps;
            for (const auto& device : *devices) maps.push_back(deviceMap(device));
            answer = std::move(maps);
        }
        pending.success(std::move(answer));
    });
}

}  // namespace lumivane
