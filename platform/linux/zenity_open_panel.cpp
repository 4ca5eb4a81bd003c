#include "platform/linux/zenity_open_panel.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/linux/run_tool.h"

namespace lumivane {

OpenPanel::Outcome ZenityOpenPanel::run(const Options& options) {
    const char* tool = "/usr/bin/zenity";
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        log_.write("Lumivane: no folder chooser: there is no display to show it on");
        return {};
    }
    if (access(tool, X_OK) != 0) {
        log_.write("Lumivane: no folder chooser: zenity is not installed");
        return {};
    }
    std::vector<std::string> argv{tool, "--file-selection", "--directory", "--title=" + options.title};
    if (options.directory) argv.push_back("--filename=" + *options.directory + "/");
    auto outcome = runTool(argv);
    auto path = outcome.output;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    if (outcome.exitCode != 0 || path.empty()) return {};
    return {true, path};
}

}  // namespace lumivane
