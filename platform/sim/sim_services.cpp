#include "platform/sim/sim_services.h"

#include "platform/file_url.h"

#include <cstdlib>

namespace lumivane {

SimEnvironment::SimEnvironment(std::string home, std::optional<std::string> bundleIdentifier)
    : home_(std::move(home)), bundleIdentifier_(std::move(bundleIdentifier)) {}

std::optional<std::string> SimEnvironment::variable(const std::string& name) const {
    {
        std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
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

class SimPluginRegistry::Registrar final : public PluginRegistrar {
public:
    Registrar(std::string key, Journal& journal) : key_(std::move(key)), journal_(journal) {}
    const std::string& key() const override { return key_; }
    void registered() override { journal_.add("plugin " + key_); }

private:
    std::string key_;
    Journal& journal_;
};

SimPluginRegistry::SimPluginRegistry(Journal& journal) : journal_(journal) {}
SimPluginRegistry::~SimPluginRegistry() = default;

PluginRegistrar& SimPluginRegistry::registrarForPlugin(const std::string& key) {
    auto& slot = registrars_[key];
    if (!slot) slot = std::make_unique<Registrar>(key, journal_);
    return *slot;
}

}  // namespace lumivane
