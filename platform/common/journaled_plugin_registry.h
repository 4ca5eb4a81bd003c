#pragma once
#include <map>
#include <memory>
#include <string>

#include "platform/common/journal.h"
#include "platform/plugin_registry.h"

namespace lumivane {

// Hands out registrars and notes each plugin that registers in the journal
// ("plugin <key>"): the plugin registry of a platform without an interface
// engine (the simulated Mac and Linux). Main thread only.
class JournaledPluginRegistry final : public PluginRegistry {
public:
    explicit JournaledPluginRegistry(Journal& journal);
    ~JournaledPluginRegistry() override;
    PluginRegistrar& registrarForPlugin(const std::string& key) override;

private:
    class Registrar;
    Journal& journal_;
    std::map<std::string, std::unique_ptr<Registrar>> registrars_;
};

}  // namespace lumivane
