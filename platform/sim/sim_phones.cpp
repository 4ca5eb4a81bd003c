#include "platform/sim/sim_phones.h"

#include "platform/common/shared_library.h"

namespace lumivane {

bool SimPhones::open(const std::string& providerPath) {
    auto library = SharedLibrary::open(providerPath);
    if (!library) return false;
#define LUMIVANE_SIM_BIND(name) library->bind(name, #name);
    LUMIVANE_SIM_MOBILE_DEVICE_CONTROLS(LUMIVANE_SIM_BIND)
#undef LUMIVANE_SIM_BIND
    ready_ = library->missing().empty();
    return ready_;
}

}  // namespace lumivane
