// "volume.mount", "volume.unmount", "volume.rename", "volume.failRead",
// "volume.ejectResult": the simulated Mac's mounted volumes.
#include <filesystem>

#include "app/sim_control/sim_control.h"

namespace lumivane {

namespace {

void mount(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto path = args.required("path", "an existing folder");
    if (!path) return;
    std::error_code ignored;
    if (!std::filesystem::is_directory(*path, ignored)) return args.fail("\"path\" must be an existing folder.");
    // An absent key is a value the system does not know.
    VolumeValues values;
    values.name = args.string("name");
    values.localizedName = args.string("localizedName");
    values.uuid = args.string("uuid");
    values.removable = args.boolean("removable");
    values.ejectable = args.boolean("ejectable");
    values.internal = args.boolean("internal");
    values.local = args.boolean("local");
    values.rootFileSystem = args.boolean("root");
    values.browsable = args.boolean("browsable");
    values.totalCapacity = args.integer("total");
    values.availableCapacity = args.integer("free");
    values.availableCapacityForImportantUsage = args.integer("importantFree");
    values.localizedFormatDescription = args.string("fs");
    values.urlForRemounting = args.string("remount");
    mac.volumes().mount(*path, values);
    result.success();
}

}  // namespace

void installVolumeControls(SimControl& control, SimMac& mac) {
    control.add("volume.mount",
                [&mac](const EncodableValue& arguments, MethodResult& result) { mount(mac, arguments, result); });
    control.add("volume.unmount", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        if (auto path = args.required("path")) result.success(mac.volumes().unmount(*path));
    });
    control.add("volume.rename", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto path = args.required("path");
        auto name = path ? args.required("name") : std::nullopt;
        if (name) result.success(mac.volumes().rename(*path, *name));
    });
    control.add("volume.failRead", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        if (auto path = args.required("path")) result.success(mac.volumes().failRead(*path));
    });
    control.add("volume.ejectResult", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        if (auto path = args.required("path"))
            result.success(mac.volumes().setEjectResult(*path, args.string("error")));
    });
}

}  // namespace lumivane
