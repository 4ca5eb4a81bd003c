#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/common/file_user_defaults.h"
#include "platform/common/folder_photo_library.h"
#include "platform/common/journal.h"
#include "platform/common/journaled_plugin_registry.h"
#include "platform/exiv2/exiv2_photo_metadata.h"
#include "platform/ffmpeg/ffmpeg_video_frames.h"
#include "platform/headless/headless_window_system.h"
#include "platform/libraw/raw_preview_imaging.h"
#include "platform/platform.h"
#include "platform/sim/sim_cameras.h"
#include "platform/sim/sim_net_services.h"
#include "platform/sim/sim_notifications.h"
#include "platform/sim/sim_phones.h"
#include "platform/sim/sim_services.h"
#include "platform/sim/sim_sharing.h"
#include "platform/sim/sim_usbmux_daemon.h"
#include "platform/sim/sim_volumes.h"
#include "platform/vips/vips_imaging.h"

namespace lumivane {

// The simulated Mac: every platform service, from what the host expects of
// it, over real folders. Its home folder holds what a Mac's home would
// ("Library/Application Support", "Library/Containers"); the user defaults
// live in a file in the local data folder. Created and used on the main thread.
class SimMac {
public:
    struct Options {
        std::string home;  // must exist
        std::optional<std::string> bundleIdentifier = "com.lumivane.app";
        std::string mobileDeviceProvider;  // the simulated provider library; empty: no phones
        Log* log = nullptr;                // where the simulated services write; none: standard error
    };
    // `loop` runs the simulated devices' reports; it outlives the Mac.
    SimMac(Options options, MainLoop& loop);

    Platform platform();

    Journal& journal() { return journal_; }
    HeadlessWindowSystem& windows() { return windows_; }
    SimWorkspace& workspace() { return workspace_; }
    SimVolumes& volumes() { return volumes_; }
    SimOpenPanel& openPanel() { return openPanel_; }
    SimCameraBrowser& cameras() { return cameras_; }
    // Empty until told which folder holds the library.
    FolderPhotoLibrary& library() { return library_; }
    // The simulated local network, with the peers added to it.
    SimNetServices& netServices() { return netServices_; }
    SimSharing& sharing() { return sharing_; }
    SimNotifications& notifications() { return notifications_; }
    SimEnvironment& environment() { return environment_; }
    FileUserDefaults& defaults() { return defaults_; }
    // Runs at <home>/var/run/usbmuxd from construction on.
    SimUsbmuxDaemon& usbmux() { return usbmux_; }
    // The simulated provider's controls (not ready without a provider).
    SimPhones& phones() { return phones_; }

    // Simulate a phone, as the provider and the usbmux daemon both see it:
    // adding one (with no link yet) and attaching or detaching its USB or
    // Wi-Fi link also lists or unlists it in the usbmux daemon. Each answers
    // the provider's result code (0 for success).
    std::int32_t addPhone(const std::string& udid, const std::string& name, const std::string& root, bool trusted);
    std::int32_t setPhoneLink(const std::string& udid, std::uint32_t interface, bool attached);

private:
    Journal journal_;
    SimEnvironment environment_;
    FileUserDefaults defaults_;
    HeadlessWindowSystem windows_;
    SimWorkspace workspace_;
    JournaledPluginRegistry plugins_;
    VipsImaging vips_;                         // real pixels in, real JPEG out
    RawPreviewImaging imaging_{vips_};         // and RAW files through their previews
    FfmpegVideoFrames videoFrames_{imaging_};  // real frames of real files
    Exiv2PhotoMetadata photoMetadata_;
    SimVolumes volumes_{journal_};
    SimOpenPanel openPanel_{journal_};
    SimCameraBrowser cameras_;
    Log ownLog_;
    FolderPhotoLibrary library_;
    SimNetServices netServices_;
    SimSharing sharing_;
    SimNotifications notifications_{journal_};
    SimUsbmuxDaemon usbmux_;
    SimPhones phones_;
    std::map<std::string, SimUsbmuxDaemon::Device> phoneDevices_;  // what the daemon lists for each phone
};

}  // namespace lumivane
