#pragma once
#include <optional>
#include <string>

#include "platform/common/file_user_defaults.h"
#include "platform/common/folder_photo_library.h"
#include "platform/common/journaled_plugin_registry.h"
#include "platform/dbus/dbus_notifications.h"
#include "platform/dnssd/dnssd_net_services.h"
#include "platform/exiv2/exiv2_photo_metadata.h"
#include "platform/ffmpeg/ffmpeg_video_frames.h"
#include "platform/gphoto/gphoto_cameras.h"
#include "platform/headless/headless_window_system.h"
#include "platform/libraw/raw_preview_imaging.h"
#include "platform/linux/linux_volumes.h"
#include "platform/linux/zenity_open_panel.h"
#include "platform/platform.h"
#include "platform/vips/vips_imaging.h"

namespace lumivane {

// The process environment of this machine. Application Support is the XDG
// data folder ($XDG_DATA_HOME, else ~/.local/share); there is no bundle.
// Any thread.
class LinuxEnvironment final : public Environment {
public:
    std::optional<std::string> variable(const std::string& name) const override;
    std::string homeDirectory() const override;
    std::optional<std::string> bundleIdentifier() const override { return std::nullopt; }
    std::optional<std::string> applicationSupportDirectory() const override;
    // The XDG pictures folder: $XDG_PICTURES_DIR, else the one in the user's
    // user-dirs.dirs, else ~/Pictures.
    std::optional<std::string> picturesDirectory() const override;
};

// Opens URLs with xdg-open when it is installed, without waiting for it.
// Main thread only.
class XdgWorkspace final : public Workspace {
public:
    void openURL(const std::string& url) override;
    // Through the file manager's D-Bus interface (gdbus), else xdg-open on
    // the first file's folder.
    void activateFileViewerSelecting(const std::vector<std::string>& paths) override;
};

// What the Linux platform is told to look at.
struct LinuxPlatformOptions {
    std::string libraryFolder;               // the photo library; empty: the user's pictures folder
    std::vector<std::string> cameraFolders;  // each a camera on libgphoto2's "Directory Browse" driver
};

// This machine's real services where Linux has them. There is no interface
// engine to show, so the window system is the simulated one.
// Created and used on the main thread.
class LinuxPlatform {
public:
    // The photo library is the folder library at `options.libraryFolder`;
    // empty: the user's pictures folder ($XDG_PICTURES_DIR, else ~/Pictures).
    LinuxPlatform(MainLoop& loop, Log& log, LinuxPlatformOptions options = {});
    Platform platform();

private:
    LinuxEnvironment environment_;
    DnsSdNetServices netServices_;  // first: it sets its environment before other threads start
    FileUserDefaults defaults_;
    Journal journal_;
    HeadlessWindowSystem windows_;
    XdgWorkspace workspace_;
    JournaledPluginRegistry plugins_;
    VipsImaging vips_;                  // real pixels in, real JPEG out
    RawPreviewImaging imaging_{vips_};  // and RAW files through their previews
    FfmpegVideoFrames videoFrames_{imaging_};
    Exiv2PhotoMetadata photoMetadata_;
    LinuxVolumes volumes_;
    ZenityOpenPanel openPanel_;
    GphotoCameras cameras_;
    FolderPhotoLibrary library_;
    NoSharing sharing_;  // Linux has no AirDrop
    DbusNotifications notifications_;
};

}  // namespace lumivane
