#pragma once
#include <functional>
#include <string>

#include "platform/environment.h"
#include "platform/image_capture.h"
#include "platform/imaging.h"
#include "platform/net_services.h"
#include "platform/notifications.h"
#include "platform/open_panel.h"
#include "platform/photo_library.h"
#include "platform/photo_metadata.h"
#include "platform/plugin_registry.h"
#include "platform/sharing.h"
#include "platform/user_defaults.h"
#include "platform/video_frames.h"
#include "platform/volumes.h"
#include "platform/window_system.h"
#include "platform/workspace.h"

namespace lumivane {

// The platform services a host runs on. The owner (the simulated Mac or the
// Linux platform) outlives the host. Each service's header says on which
// thread its methods run; `trace` is called on the main thread.
struct Platform {
    WindowSystem& windows;
    UserDefaults& defaults;
    Environment& environment;
    Workspace& workspace;
    PluginRegistry& plugins;
    Imaging& imaging;
    VideoFrames& videoFrames;
    PhotoMetadata& photoMetadata;
    Volumes& volumes;
    OpenPanel& openPanel;
    DeviceBrowser& cameras;
    PhotoLibrary& library;
    NetServices& netServices;
    Sharing& sharing;
    Notifications& notifications;
    // Where the usbmux daemon listens (before any USBMUXD_SOCKET_ADDRESS override).
    std::string usbmuxSocket;
    // The tool that lists which processes hold files open (lsof).
    std::string processTool;
    // Notes each start-up step as it happens (the simulated Mac keeps them in
    // its journal); may be empty.
    std::function<void(const std::string&)> trace;
};

}  // namespace lumivane
