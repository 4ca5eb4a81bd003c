#include "app/plugins.h"

namespace lumivane {

namespace {
// A plugin's registration: it installs its own channels (outside the host) and
// reports back to its registrar.
void registerPlugin(PluginRegistrar& registrar) { registrar.registered(); }
}  // namespace

const PluginEntry kPlugins[13] = {
    {"BatteryPlusMacosPlugin", registerPlugin},
    {"ConnectivityPlusPlugin", registerPlugin},
    {"DeviceInfoPlusMacosPlugin", registerPlugin},
    {"FlutterLocalNotificationsPlugin", registerPlugin},
    {"FlutterSecureStoragePlugin", registerPlugin},
    {"GeolocatorPlugin", registerPlugin},
    {"NetworkInfoPlusPlugin", registerPlugin},
    {"PhotoManagerPlugin", registerPlugin},
    {"SharePlusMacosPlugin", registerPlugin},
    {"SharedPreferencesPlugin", registerPlugin},
    {"SqflitePlugin", registerPlugin},
    {"UrlLauncherPlugin", registerPlugin},
    {"WorkmanagerPlugin", registerPlugin},
};

void registerPlugins(PluginRegistry& registry) {
    for (const auto& plugin : kPlugins) plugin.registerWithRegistrar(registry.registrarForPlugin(plugin.key));
}

}  // namespace lumivane
