#include "platform/common/mobile_device_loader.h"

#include <cstdio>

#include "platform/common/shared_library.h"

namespace lumivane {

std::unique_ptr<MobileDevice> MobileDevice::open(const std::string& path, Log& log) {
    auto library = SharedLibrary::open(path);
    if (!library) return nullptr;
    std::unique_ptr<MobileDevice> api(new MobileDevice());
#define LUMIVANE_BIND(name) library->bind(api->name, #name);
    LUMIVANE_MOBILE_DEVICE_ENTRY_POINTS(LUMIVANE_BIND)
#undef LUMIVANE_BIND
    if (!library->missing().empty()) {
        std::string names;
        for (const auto& name : library->missing()) names += (names.empty() ? "" : ", ") + name;
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
