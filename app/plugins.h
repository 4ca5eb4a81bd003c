#pragma once
#include <string>

#include "platform/plugin_registry.h"

namespace lumivane {

// The interface's platform plugins, in registration order (their package
// names in alphabetical order). Each lives outside the host; here each is
// only its registration entry point.
struct PluginEntry {
    const char* key;  // the registrar name, equal to the plugin's class name
    void (*registerWithRegistrar)(PluginRegistrar& registrar);
};

extern const PluginEntry kPlugins[13];

// Asks the registry for each plugin's registrar, in table order, and calls the
// plugin's entry point with it. Main thread.
void registerPlugins(PluginRegistry& registry);

}  // namespace lumivane
