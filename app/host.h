#pragma once
#include <memory>

#include "app/sim_control.h"
#include "channel/binary_messenger.h"
#include "channel/method_channel.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The host: owns the messenger, the host channels and every bridge for the life
// of the process (a test builds a fresh one over a fresh simulated Mac).
// Constructed, started and destroyed on the main thread.
class Host {
public:
    struct Options {
        bool simulated = true;  // installs "sim/control"
    };
    Host(MainLoop& loop, Log& log, Options options);
    ~Host();

    // The start-up sequence: installs the host channels.
    void start();

    HostMessenger& messenger() { return messenger_; }
    SimControl* simControl() { return simControl_.get(); }

private:
    MainLoop& loop_;
    Log& log_;
    Options options_;
    HostMessenger messenger_;
    std::unique_ptr<MethodChannel> macosChannel_;
    std::unique_ptr<SimControl> simControl_;
};

}  // namespace lumivane
