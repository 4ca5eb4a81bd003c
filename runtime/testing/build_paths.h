#pragma once
#include <cstdlib>
#include <string>

namespace lumivane {

// Any thread.
// A file of the build that runs the tests ("bin/lumivane-host",
// "lib/liblumivane_sim_mobile_device.so"); CTest sets LUMIVANE_BUILD_DIR.
inline std::string buildPath(const std::string& relative) {
    const char* dir = std::getenv("LUMIVANE_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + relative;
}

inline std::string simulatedProviderPath(const char* library = "liblumivane_sim_mobile_device.so") {
    return buildPath(std::string("lib/") + library);
}

}  // namespace lumivane
