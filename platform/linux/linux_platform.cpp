#include "platform/linux/linux_platform.h"

#include "platform/common/file_url.h"
#include "platform/common/process_runner.h"
#include "platform/linux/xdg_user_dirs.h"

#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace lumivane {

namespace {
std::string xdgFolder(const char* variable, const std::string& fallback) {
    const char* value = std::getenv(variable);
    return value && *value == '/' ? std::string(value) : fallback;
}
}  // namespace

std::optional<std::string> LinuxEnvironment::variable(const std::string& name) const {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string LinuxEnvironment::homeDirectory() const {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (passwd* entry = getpwuid(getuid())) return entry->pw_dir;
    return "/";
}

std::optional<std::string> LinuxEnvironment::applicationSupportDirectory() const {
    return xdgFolder("XDG_DATA_HOME", homeDirectory() + "/.local/share");
}

std::optional<std::string> LinuxEnvironment::picturesDirectory() const {
    if (const char* set = std::getenv("XDG_PICTURES_DIR"); set && *set == '/') return std::string(set);
    auto home = homeDirectory();
    std::ifstream dirs(xdgFolder("XDG_CONFIG_HOME", home + "/.config") + "/user-dirs.dirs");
    std::string text((std::istreambuf_iterator<char>(dirs)), std::istreambuf_iterator<char>());
    return xdgUserDir(text, "PICTURES", home);
}

namespace {

// Starts a tool without waiting for it; false when it is not installed.
bool spawnDetached(const std::string& tool, std::vector<std::string> args) {
    if (access(tool.c_str(), X_OK) != 0) return false;
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();  // reaped off the main thread
    return true;
}

}  // namespace

void XdgWorkspace::openURL(const std::string& url) { spawnDetached("/usr/bin/xdg-open", {url}); }

void XdgWorkspace::activateFileViewerSelecting(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    // The desktop's file manager selects the files when it offers the
    // FileManager1 interface on the session bus; otherwise the folder opens.
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        std::string list = "[";
        for (const auto& path : paths) list += (list.size() > 1 ? ", '" : "'") + fileURL(path) + "'";
        list += "]";
        if (spawnDetached("/usr/bin/gdbus", {"call", "--session", "--dest", "org.freedesktop.FileManager1",
                                             "--object-path", "/org/freedesktop/FileManager1", "--method",
                                             "org.freedesktop.FileManager1.ShowItems", list, ""}))
            return;
    }
    auto slash = paths[0].rfind('/');
    spawnDetached("/usr/bin/xdg-open", {fileURL(slash == 0 ? "/" : paths[0].substr(0, slash))});
}

LinuxPlatform::LinuxPlatform(MainLoop& loop, Log& log, LinuxPlatformOptions options)
    : netServices_(loop),
      defaults_(xdgFolder("XDG_CONFIG_HOME", environment_.homeDirectory() + "/.config") + "/lumivane/defaults.json"),
      windows_(defaults_, journal_),
      plugins_(journal_),
      volumes_(loop),
      openPanel_(log),
      cameras_(loop, imaging_, std::move(options.cameraFolders)),
      library_(imaging_, log),
      notifications_(loop, log, DbusNotifications::sessionBusAddress()) {
    library_.load(options.libraryFolder.empty()
                      ? xdgFolder("XDG_PICTURES_DIR", environment_.homeDirectory() + "/Pictures")
                      : options.libraryFolder);
}

Platform LinuxPlatform::platform() {
    return Platform{
        .windows = windows_,
        .defaults = defaults_,
        .environment = environment_,
        .workspace = workspace_,
        .plugins = plugins_,
        .imaging = imaging_,
        .videoFrames = videoFrames_,
        .photoMetadata = photoMetadata_,
        .volumes = volumes_,
        .openPanel = openPanel_,
        .cameras = cameras_,
        .library = library_,
        .netServices = netServices_,
        .sharing = sharing_,
        .notifications = notifications_,
        .usbmuxSocket = "/var/run/usbmuxd",
        .processTool = installedLsof(),
        .trace = nullptr,
    };
}

}  // namespace lumivane
