#pragma once
// A platform with some services replaced by a test's own, the rest shared.
#include "platform/platform.h"

namespace lumivane {

struct ReplacedServices {
    DeviceBrowser* cameras = nullptr;
    PhotoLibrary* library = nullptr;
    Volumes* volumes = nullptr;
    NetServices* netServices = nullptr;
    Sharing* sharing = nullptr;
    Notifications* notifications = nullptr;
};

inline Platform withServices(const Platform& base, ReplacedServices replaced) {
    return Platform{
        .windows = base.windows,
        .defaults = base.defaults,
        .environment = base.environment,
        .workspace = base.workspace,
        .plugins = base.plugins,
        .imaging = base.imaging,
        .videoFrames = base.videoFrames,
        .photoMetadata = base.photoMetadata,
        .volumes = replaced.volumes ? *replaced.volumes : base.volumes,
        .openPanel = base.openPanel,
        .cameras = replaced.cameras ? *replaced.cameras : base.cameras,
        .library = replaced.library ? *replaced.library : base.library,
        .netServices = replaced.netServices ? *replaced.netServices : base.netServices,
        .sharing = replaced.sharing ? *replaced.sharing : base.sharing,
        .notifications = replaced.notifications ? *replaced.notifications : base.notifications,
        .usbmuxSocket = base.usbmuxSocket,
        .processTool = base.processTool,
        .trace = base.trace,
    };
}

}  // namespace lumivane
