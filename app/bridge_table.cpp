#include "app/bridge_table.h"

#include "bridges/airdrop/airdrop_bridge.h"
#include "bridges/bonjour/bonjour_bridge.h"
#include "bridges/camera/camera_bridge.h"
#include "bridges/files/file_volume_bridge.h"
#include "bridges/library/library_bridge.h"
#include "platform/mobile_device_loader.h"

namespace lumivane {

namespace {

std::unique_ptr<Bridge> makeIPhoneBridge(const BridgeContext& context, const BridgeOptions& options) {
    auto api = options.iphone.provider.empty() ? nullptr : MobileDevice::open(options.iphone.provider, context.log);
    auto bridgeOptions = options.iphone.bridge;
    bridgeOptions.dataFolder = context.dataFolder;
    return std::make_unique<MobileDeviceBridge>(std::move(api), context.loop, context.events, context.log,
                                                context.clock, context.platform.imaging, bridgeOptions);
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
    return std::make_unique<CameraBridge>(context.platform.cameras, context.loop, context.events);
}

const BridgeRow kBridges[] = {
    {"cameras", ChainPlace::camera, StartStep::cameraDiscovery, makeCameraBridge},
    {"files", ChainPlace::filesAndVolumes, StartStep::volumeWatch, makeFileVolumeBridge},
    {"iphone", ChainPlace::iphone, StartStep::phoneSubscription, makeIPhoneBridge},
    {"library", ChainPlace::none, StartStep::libraryChannel, makeLibraryBridge},
    {"bonjour", ChainPlace::none, StartStep::bonjourChannels, makeBonjourBridge},
    {"airdrop", ChainPlace::airdrop, StartStep::none, makeAirDropBridge},
};

}  // namespace

const char* startStepName(StartStep step) {
    switch (step) {
        case StartStep::none: return "";
        case StartStep::cameraDiscovery: return "camera discovery";
        case StartStep::volumeWatch: return "volume watch";
        case StartStep::phoneSubscription: return "phone subscription";
        case StartStep::libraryChannel: return "channel lumivane/library";
        case StartStep::bonjourChannels: return "channels lumivane/bonjour, lumivane/bonjour/events";
    }
    return "";
}

std::span<const BridgeRow> bridgeTable() { return kBridges; }

}  // namespace lumivane
