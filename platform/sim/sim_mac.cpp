#include "platform/sim/sim_mac.h"

namespace lumivane {

namespace {
std::string defaultsPath(const SimMac::Options& options) {
    return options.home + "/Library/Application Support/" + options.bundleIdentifier.value_or("Lumivane") +
           "/defaults.json";
}
}  // namespace

SimMac::SimMac(Options options)
    : environment_(options.home, options.bundleIdentifier),
      defaults_(defaultsPath(options)),
      windows_(defaults_, journal_),
      workspace_(journal_),
      plugins_(journal_),
      usbmux_(options.home + "/var/run/usbmuxd") {
    usbmux_.start();
    if (!options.mobileDeviceProvider.empty()) phones_.open(options.mobileDeviceProvider);
}

Platform SimMac::platform() {
    return Platform{windows_, defaults_, environment_, workspace_, plugins_, usbmux_.socketPath(),
                    [this](const std::string& step) { journal_.add(step); }};
}

}  // namespace lumivane
