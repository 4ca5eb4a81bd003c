#include "platform/sim/sim_services.h"

#include "platform/common/file_url.h"

#include <cstdlib>
#include "runtime/mutex.h"

namespace lumivane {

SimEnvironment::SimEnvironment(std::string home, std::optional<std::string> bundleIdentifier)
    : home_(std::move(home)), bundleIdentifier_(std::move(bundleIdentifier)) {}

std::optional<std::string> SimEnvironment::variable(const std::string& name) const {
    {
        MutexLock lock(mutex_);
        auto it = overrides_.find(name);
        if (it != overrides_.end()) return it->second;
    }
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<std::string> SimEnvironment::applicationSupportDirectory() const {
    return home_ + "/Library/Application Support";
}

void SimEnvironment::overrideVariable(const std::string& name, std::optional<std::string> value) {
    MutexLock lock(mutex_);
    overrides_[name] = std::move(value);
}

void SimWorkspace::openURL(const std::string& url) {
    journal_.add("workspace.openURL " + url);
    opened_.push_back(url);
}

void SimWorkspace::activateFileViewerSelecting(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        journal_.add("workspace.reveal " + fileURL(path));
        revealed_.push_back(fileURL(path));
    }
}

}  // namespace lumivane
