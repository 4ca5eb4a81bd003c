#pragma once
#include <optional>
#include <string>

#include "platform/file_user_defaults.h"
#include "platform/platform.h"
#include "platform/sim/sim_journal.h"
#include "platform/sim/sim_phones.h"
#include "platform/sim/sim_services.h"
#include "platform/sim/sim_usbmux_daemon.h"
#include "platform/sim/sim_window_system.h"

namespace lumivane {

// The simulated Mac: every platform service, from what the host expects of
// it, over real folders. Its home folder holds what a Mac's home would
// ("Library/Application Support", "Library/Containers"); the user defaults
// live in a file in the local data folder. Created and used on the main thread.
class SimMac {
public:
    struct Options {
        std::string home;                            // must exist
        std::optional<std::string> bundleIdentifier = "com.lumivane.app";
        std::string mobileDeviceProvider;  // the simulated provider library; empty: no phones
    };
    explicit SimMac(Options options);

    Platform platform();

    SimJournal& journal() { return journal_; }
    SimWindowSystem& windows() { return windows_; }
    SimWorkspace& workspace() { return workspace_; }
    SimEnvironment& environment() { return environment_; }
    FileUserDefaults& defaults() { return defaults_; }
    // Runs at <home>/var/run/usbmuxd from construction on.
    SimUsbmuxDaemon& usbmux() { return usbmux_; }
    // The simulated provider's controls (not ready without a provider).
    SimPhones& phones() { return phones_; }

private:
    SimJournal journal_;
    SimEnvironment environment_;
    FileUserDefaults defaults_;
    SimWindowSystem windows_;
    SimWorkspace workspace_;
    SimPluginRegistry plugins_;
    SimUsbmuxDaemon usbmux_;
    SimPhones phones_;
};

}  // namespace lumivane
