#pragma once
#include <string>

namespace lumivane {

// What a plugin's registration entry point receives. Main thread only.
class PluginRegistrar {
public:
    virtual ~PluginRegistrar() = default;
    virtual const std::string& key() const = 0;
    // Called by the plugin's entry point once it has registered.
    virtual void registered() = 0;
};

// The view controller in its role as plugin registry. Main thread only.
class PluginRegistry {
public:
    virtual ~PluginRegistry() = default;
    virtual PluginRegistrar& registrarForPlugin(const std::string& key) = 0;
};

}  // namespace lumivane
