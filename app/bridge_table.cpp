#include "app/bridge_table.h"

#include "app/sim_control/sim_control.h"

#include "bridges/airdrop/airdrop_bridge.h"
#include "bridges/bonjour/bonjour_bridge.h"
#include "bridges/camera/camera_bridge.h"
#include "bridges/files/file_volume_bridge.h"
#include "bridges/import/import_bridge.h"
#include "bridges/library/library_bridge.h"
#include "platform/common/mobile_device_loader.h"

namespace lumivane {

namespace {

std::unique_ptr<Bridge> makeIPhoneBridge(const BridgeContext& context, const BridgeOptions& options) {
    auto api = options.iphone.provider.empty() ? nullptr : MobileDevice::open(options.iphone.provider, context.log);
    auto bridgeOptions = options.iphone.bridge;
    bridgeOptions.dataFolder = context.dataFolder;
    auto bridge = std::make_unique<MobileDeviceBridge>(std::move(api), context.loop, context.events, context.log,
                                                       context.clock, context.platform.imaging, bridgeOptions);
    bridge->offerImports(context.importSources);
    return bridge;
}

std::unique_ptr<Bridge> makeFileVolumeBridge(const BridgeContext& context, const BridgeOptions&) {
    return std::make_unique<FileVolumeBridge>(context);
}

std::unique_ptr<Bridge> makeLibraryBridge(const BridgeContext& context, const BridgeOptions&) {
    return std::make_unique<LibraryBridge>(context);
}

std::unique_ptr<Bridge> makeBonjourBridge(const BridgeContext& context, const BridgeOptions&) {
    return std::make_unique<BonjourBridge>(context);
}

std::unique_ptr<Bridge> makeAirDropBridge(const BridgeContext& context, const BridgeOptions&) {
    return std::make_unique<AirDropBridge>(context);
}

std::unique_ptr<Bridge> makeCameraBridge(const BridgeContext& context, const BridgeOptions&) {
    auto bridge = std::make_unique<CameraBridge>(context.platform.cameras, context.loop, context.events);
    bridge->offerImports(context.importSources, context.dataFolder);
    return bridge;
}

std::unique_ptr<Bridge> makeImportBridge(const BridgeContext& context, const BridgeOptions&) {
    return std::make_unique<ImportBridge>(context);
}

// clang-format off
const BridgeRow kBridges[] = {
    {"cameras", true,  "camera discovery",         makeCameraBridge,     installCameraControls},
    {"files",   true,  "volume watch",             makeFileVolumeBridge, installVolumeControls},
    {"iphone",  true,  "phone subscription",       makeIPhoneBridge,     installPhoneControls},
    {"library", false, "channel lumivane/library", makeLibraryBridge,    installLibraryControls},
    {"bonjour", false, "channels lumivane/bonjour, lumivane/bonjour/events", makeBonjourBridge, installBonjourControls},
    {"airdrop", true,  nullptr,                    makeAirDropBridge,    installAirDropControls},
    // Last: it reads through the sources the device bridges above add.
    {"import",  false, "channels lumivane/import, lumivane/import/events", makeImportBridge, nullptr},
};
// clang-format on

}  // namespace

std::span<const BridgeRow> bridgeTable() { return kBridges; }

}  // namespace lumivane
