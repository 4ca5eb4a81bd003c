#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/mobile_device.h"
#include "runtime/log.h"

namespace lumivane {

// The loader of the MobileDevice contract: its entry points, resolved by name
// from a provider library.
// The library is opened once; the provider is usable only when every one of
// the 32 names resolves. Any thread (the entry points are thread-safe).
class MobileDevice {
public:
    // Opens the provider at `path` with global symbols and resolves each entry
    // point. Answers null when the library does not open, or (with the log line
    // "Lumivane MobileDevice: missing " and the names) when names are missing.
    static std::unique_ptr<MobileDevice> open(const std::string& path, Log& log);

#define LUMIVANE_ENTRY_POINT_FIELD(name) decltype(&::name) name = nullptr;
    LUMIVANE_MOBILE_DEVICE_ENTRY_POINTS(LUMIVANE_ENTRY_POINT_FIELD)
#undef LUMIVANE_ENTRY_POINT_FIELD

    // The framework's text for a code, else "error", then " (0x" + the code as
    // unsigned upper-case hexadecimal + ")".
    std::string frameworkErrorText(std::int32_t code) const;
    // The AFC text for a code, else "AFC error " + the code in signed decimal.
    std::string afcErrorText(std::int32_t code) const;

private:
    MobileDevice() = default;
};

}  // namespace lumivane
