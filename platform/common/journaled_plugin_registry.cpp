#include "platform/common/journaled_plugin_registry.h"

namespace lumivane {

class JournaledPluginRegistry::Registrar final : public PluginRegistrar {
public:
    Registrar(std::string key, Journal& journal) : key_(std::move(key)), journal_(journal) {}
    const std::string& key() const override { return key_; }
    void registered() override { journal_.add("plugin " + key_); }

private:
    std::string key_;
    Journal& journal_;
};

JournaledPluginRegistry::JournaledPluginRegistry(Journal& journal) : journal_(journal) {}
JournaledPluginRegistry::~JournaledPluginRegistry() = default;

PluginRegistrar& JournaledPluginRegistry::registrarForPlugin(const std::string& key) {
    auto& slot = registrars_[key];
    if (!slot) slot = std::make_unique<Registrar>(key, journal_);
    return *slot;
}

}  // namespace lumivane
