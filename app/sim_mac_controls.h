#pragma once
#include "app/sim_control.h"
#include "platform/sim/sim_mac.h"

namespace lumivane {

// The simulated Mac's controls on "sim/control": screens, the main window, the
// workspace's opened URLs and the journal. Main loop only.
void installSimMacControls(SimControl& control, SimMac& mac);

}  // namespace lumivane
