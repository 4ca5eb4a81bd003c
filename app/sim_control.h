#pragma once
#include <functional>
#include <map>
#include <string>

#include "channel/method_channel.h"

namespace lumivane {

// The simulated Mac's control channel "sim/control": the demo and outside
// checks drive simulated hardware through it. Each simulated service adds its
// controls by name. Main loop only.
class SimControl {
public:
    using Control = std::function<void(const EncodableValue& arguments, MethodResult& result)>;

    SimControl(BinaryMessenger& messenger, Log& log);
    void add(const std::string& name, Control control);

private:
    MethodChannel channel_;
    std::map<std::string, Control> controls_;
};

}  // namespace lumivane
