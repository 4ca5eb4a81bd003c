#include "app/sim_control.h"

namespace lumivane {

SimControl::SimControl(BinaryMessenger& messenger, Log& log) : channel_(messenger, "sim/control", log) {
    channel_.setMethodCallHandler([this](const MethodCall& call, MethodResult result) {
        auto it = controls_.find(call.method);
        if (it == controls_.end()) {
            result.notImplemented();
            return;
        }
        it->second(call.arguments, result);
    });
    add("ping", [](const EncodableValue&, MethodResult& result) { result.success("pong"); });
}

void SimControl::add(const std::string& name, Control control) { controls_[name] = std::move(control); }

}  // namespace lumivane
