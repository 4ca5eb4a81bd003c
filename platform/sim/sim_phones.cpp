#include "platform/sim/sim_phones.h"

#include <dlfcn.h>

namespace lumivane {

bool SimPhones::open(const std::string& providerPath) {
    void* library = ::dlopen(providerPath.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!library) return false;
    ready_ = true;
#define LUMIVANE_SIM_RESOLVE(name)                                                   \
    name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name));             \
    if (!name) ready_ = false;
    LUMIVANE_SIM_MOBILE_DEVICE_CONTROLS(LUMIVANE_SIM_RESOLVE)
#undef LUMIVANE_SIM_RESOLVE
    return ready_;
}

}  // namespace lumivane
