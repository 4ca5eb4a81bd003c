#pragma once
#include <memory>
#include <span>
#include <string>

#include "bridges/common/bridge.h"
#include "bridges/iphone/mobile_device_bridge.h"

namespace lumivane {

// Where a bridge's handler is offered host channel calls: in this order,
// before the dispatcher's own methods.
enum class ChainPlace { none, camera, filesAndVolumes, iphone, airdrop };

// The start-up steps that bridges fill, in start-up order. Each step is
// traced whether or not a bridge of this build fills it; a bridge of step
// `none` has nothing to start.
enum class StartStep { none, cameraDiscovery, volumeWatch, phoneSubscription, libraryChannel, bonjourChannels };
const char* startStepName(StartStep step);

// Every bridge's options, one struct per bridge.
struct BridgeOptions {
    struct IPhone {
        std::string provider;  // the MobileDevice provider library; empty: none
        MobileDeviceBridge::Options bridge;
    } iphone;
};

// One row per bridge: adding a bridge is its folder and a row here.
struct BridgeRow {
    const char* name;
    ChainPlace place;
    StartStep step;
    std::unique_ptr<Bridge> (*make)(const BridgeContext& context, const BridgeOptions& options);
};

std::span<const BridgeRow> bridgeTable();

}  // namespace lumivane
