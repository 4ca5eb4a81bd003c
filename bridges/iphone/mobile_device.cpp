#include "bridges/iphone/mobile_device.h"

#include <cstdio>
#include <dlfcn.h>
#include <vector>

namespace lumivane {

std::unique_ptr<MobileDevice> MobileDevice::open(const std::string& path, Log& log) {
    // Kept open for the life of the process, as the framework would be.
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!library) return nullptr;
    std::unique_ptr<MobileDevice> api(new MobileDevice());
    std::vector<std::string> missing;
#define LUMIVANE_RESOLVE(name)                                                      \
    api->name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name));       \
    if (!api->name) missing.push_back(#name);
    LUMIVANE_MOBILE_DEVICE_ENTRY_POINTS(LUMIVANE_RESOLVE)
#undef LUMIVANE_RESOLVE
    if (!missing.empty()) {
        std::string names;
        for (const auto& name : missing) names += (names.empty() ? "" : ", ") + name;
        log.write("Lumivane MobileDevice: missing " + names);
        return nullptr;
    }
    return api;
}

std::string MobileDevice::frameworkErrorText(std::int32_t code) const {
    const char* text = AMDErrorString(code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<std::uint32_t>(code));
    return std::string(text ? text : "error") + " (0x" + hex + ")";
}

std::string MobileDevice::afcErrorText(std::int32_t code) const {
    const char* text = AFCErrorString(code);
    return text ? std::string(text) : "AFC error " + std::to_string(code);
}

}  // namespace lumivane
