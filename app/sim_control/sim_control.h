#pragma once
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "app/bridge_table.h"
#include "channel/arguments.h"
#include "channel/method_channel.h"
#include "platform/sim/sim_mac.h"

namespace lumivane {

// The simulated Mac's control channel "sim/control": the demo and outside
// checks drive simulated hardware through it. The host process installs it on
// the simulated Mac only; the host itself knows nothing of it. Each simulated
// service adds its controls by name (one file each). Main loop only.
class SimControl {
public:
    using Control = std::function<void(const EncodableValue& arguments, MethodResult& result)>;

    // Installs the channel with "ping" and "journal", the host's own
    // services' controls and those of the bridges of `bridges`, over `mac`.
    SimControl(BinaryMessenger& messenger, Log& log, SimMac& mac, std::span<const BridgeRow> bridges);
    void add(const std::string& name, Control control);

private:
    MethodChannel channel_;
    std::map<std::string, Control> controls_;
};

// The arguments of one control: reading a required entry answers the "args"
// error (and nothing else happens) when it is missing or of the wrong kind.
class ControlArgs : public Arguments {
public:
    ControlArgs(const EncodableValue& arguments, MethodResult& result) : Arguments(arguments), result_(result) {}

    // A non-empty string, or the error `"<key>" must be <what>.`
    std::optional<std::string> required(const std::string& key, const char* what = "a non-empty string");
    // One of `choices`, or the error `"<key>" must be <what>.`
    std::optional<std::string> oneOf(const std::string& key, std::initializer_list<const char*> choices,
                                     const char* what);
    void fail(const std::string& message) { result_.error("args", message); }

private:
    MethodResult& result_;
};

// Each simulated service's controls: the host's own (window, workspace,
// usbmux) here, the bridges' through their rows of the bridge table.
void installWindowControls(SimControl& control, SimMac& mac);
void installWorkspaceControls(SimControl& control, SimMac& mac);
void installUsbmuxControls(SimControl& control, SimMac& mac);
void installPhoneControls(SimControl& control, SimMac& mac);
void installVolumeControls(SimControl& control, SimMac& mac);
void installCameraControls(SimControl& control, SimMac& mac);
void installLibraryControls(SimControl& control, SimMac& mac);
void installBonjourControls(SimControl& control, SimMac& mac);
void installAirDropControls(SimControl& control, SimMac& mac);

}  // namespace lumivane
