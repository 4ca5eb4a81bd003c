#pragma once
// What a bridge's unit test stands on: a temporary home, a main loop, a
// capturing log, a manual clock and a simulated Mac over that home; context()
// makes a bridge's context over that Mac with some services replaced by the
// test's own fakes.
#include <memory>

#include "bridges/common/bridge.h"
#include "platform/sim/sim_mac.h"
#include "platform/testing/replaced_services.h"
#include "runtime/clock.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {

struct SimBridgeSetup {
    BridgeContext context(ReplacedServices replaced = {}, std::shared_ptr<EventHandler> events = nullptr) {
        return {withServices(mac.platform(), replaced), loop, log, clock, std::move(events), home.path(), sources};
    }

    TempFolder home;
    MainLoop loop;
    Log log = Log::capturing();
    ManualClock clock;
    ImportSources sources;
    SimMac mac{SimMac::Options{home.path(), "com.lumivane.app", "", &log}, loop};
};

}  // namespace lumivane
