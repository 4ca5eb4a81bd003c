#pragma once
#include <string>

#include "platform/sim/sim_mobile_device.h"

namespace lumivane {

// The simulated provider's controls, resolved by name from the same library
// the host loads (so both see the same phones). Any thread.
class SimPhones {
public:
    // Opens the provider; answers false when it or a control is missing.
    bool open(const std::string& providerPath);
    bool ready() const { return ready_; }

#define LUMIVANE_SIM_CONTROL_FIELD(name) decltype(&::name) name = nullptr;
    LUMIVANE_SIM_MOBILE_DEVICE_CONTROLS(LUMIVANE_SIM_CONTROL_FIELD)
#undef LUMIVANE_SIM_CONTROL_FIELD

private:
    bool ready_ = false;
};

}  // namespace lumivane
