#pragma once
#include <memory>
#include <span>
#include <string>

#include "bridges/common/bridge.h"
#include "bridges/iphone/mobile_device_bridge.h"

namespace lumivane {

class SimControl;
class SimMac;

// Every bridge's options, one struct per bridge that has any.
struct BridgeOptions {
    struct IPhone {
        std::string provider;  // the MobileDevice provider library; empty: none
        MobileDeviceBridge::Options bridge;
    } iphone;
};

// One row per bridge: adding a bridge is its folder, a row here and a line in
// bridges/CMakeLists.txt. Row order is the order of the handler chain of the
// host channel and the start-up order.
struct BridgeRow {
    const char* name;    // what Host::bridge() finds it by
    bool onHostChannel;  // its handler is offered "lumivane/macos" calls, in row order
    // Traced once the bridge has started (its start-up step); null: it has
    // nothing to start.
    const char* startTrace;
    std::unique_ptr<Bridge> (*make)(const BridgeContext& context, const BridgeOptions& options);
    // The "sim/control" controls of the simulated service it stands on; null: none.
    void (*simControls)(SimControl& control, SimMac& mac) = nullptr;
};

std::span<const BridgeRow> bridgeTable();

}  // namespace lumivane
