#include "app/sim_control/sim_control.h"

namespace lumivane {

SimControl::SimControl(BinaryMessenger& messenger, Log& log, SimMac& mac, std::span<const BridgeRow> bridges)
    : channel_(messenger, "sim/control", log) {
    channel_.setMethodCallHandler([this](const MethodCall& call, MethodResult result) {
        auto it = controls_.find(call.method);
        if (it == controls_.end()) {
            result.notImplemented();
            return;
        }
        it->second(call.arguments, result);
    });
    add("ping", [](const EncodableValue&, MethodResult& result) { result.success("pong"); });
    add("journal", [&mac](const EncodableValue&, MethodResult& result) {
        EncodableList entries;
        for (const auto& entry : mac.journal().entries()) entries.push_back(entry);
        result.success(entries);
    });
    // The host's own services, then each bridge's.
    installWindowControls(*this, mac);
    installWorkspaceControls(*this, mac);
    installUsbmuxControls(*this, mac);
    for (const auto& row : bridges)
        if (row.simControls) row.simControls(*this, mac);
}

void SimControl::add(const std::string& name, Control control) { controls_[name] = std::move(control); }

std::optional<std::string> ControlArgs::required(const std::string& key, const char* what) {
    auto value = string(key);
    if (!value || value->empty()) {
        fail("\"" + key + "\" must be " + what + ".");
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> ControlArgs::oneOf(const std::string& key, std::initializer_list<const char*> choices,
                                              const char* what) {
    auto value = string(key);
    for (const char* choice : choices)
        if (value == std::optional<std::string>(choice)) return value;
    fail("\"" + key + "\" must be " + what + ".");
    return std::nullopt;
}

}  // namespace lumivane
