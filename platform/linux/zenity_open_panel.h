#pragma once
#include "platform/open_panel.h"
#include "runtime/log.h"

namespace lumivane {

// The folder chooser of a Linux desktop: zenity, when there is a display to
// show it on and zenity is installed; otherwise no folder, and one log line
// saying why. Main thread only; blocks while the dialog is open.
class ZenityOpenPanel final : public OpenPanel {
public:
    explicit ZenityOpenPanel(Log& log) : log_(log) {}
    Outcome run(const Options& options) override;

private:
    Log& log_;
};

}  // namespace lumivane
