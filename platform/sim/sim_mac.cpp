#include "platform/sim/sim_mac.h"

#include "platform/common/process_runner.h"
#include "platform/mobile_device.h"

namespace lumivane {

namespace {
std::string defaultsPath(const SimMac::Options& options) {
    return options.home + "/Library/Application Support/" + options.bundleIdentifier.value_or("Lumivane") +
           "/defaults.json";
}
}  // namespace

SimMac::SimMac(Options options, MainLoop& loop)
    : environment_(options.home, options.bundleIdentifier),
      defaults_(defaultsPath(options)),
      windows_(defaults_, journal_),
      workspace_(journal_),
      plugins_(journal_),
      usbmux_(options.home + "/var/run/usbmuxd"),
      cameras_(loop, imaging_, videoFrames_),
      library_(imaging_, options.log ? *options.log : ownLog_),
      netServices_(loop) {
    usbmux_.start();
    if (!options.mobileDeviceProvider.empty()) phones_.open(options.mobileDeviceProvider);
}

std::int32_t SimMac::addPhone(const std::string& udid, const std::string& name, const std::string& root, bool trusted) {
    phoneDevices_[udid] = SimUsbmuxDaemon::Device{.udid = udid, .name = name, .usb = false, .wifi = false};
    usbmux_.removeDevice(udid);
    return phones_.LVSimAddPhone(udid.c_str(), name.c_str(), root.c_str(), trusted);
}

std::int32_t SimMac::setPhoneLink(const std::string& udid, std::uint32_t interface, bool attached) {
    auto code = attached ? phones_.LVSimAttach(udid.c_str(), interface) : phones_.LVSimDetach(udid.c_str(), interface);
    auto device = phoneDevices_.find(udid);
    if (code != 0 || device == phoneDevices_.end()) return code;
    (interface == kAMDInterfaceUSB ? device->second.usb : device->second.wifi) = attached;
    if (device->second.usb || device->second.wifi)
        usbmux_.addDevice(device->second);
    else
        usbmux_.removeDevice(udid);
    return code;
}

Platform SimMac::platform() {
    return Platform{
        .windows = windows_,
        .defaults = defaults_,
        .environment = environment_,
        .workspace = workspace_,
        .plugins = plugins_,
        .imaging = imaging_,
        .videoFrames = videoFrames_,
        .photoMetadata = photoMetadata_,
        .volumes = volumes_,
        .openPanel = openPanel_,
        .cameras = cameras_,
        .library = library_,
        .netServices = netServices_,
        .sharing = sharing_,
        .notifications = notifications_,
        .usbmuxSocket = usbmux_.socketPath(),
        .processTool = installedLsof(),
        .trace = [this](const std::string& step) { journal_.add(step); },
    };
}

}  // namespace lumivane
