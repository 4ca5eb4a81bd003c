#include "platform/linux/linux_platform.h"

#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
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

void XdgWorkspace::openURL(const std::string& url) {
    const char* tool = "/usr/bin/xdg-open";
    if (access(tool, X_OK) != 0) return;
    std::string copy = url;
    char* argv[] = {const_cast<char*>(tool), copy.data(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) != 0) return;
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();  // reaped off the main thread
}

LinuxPlatform::LinuxPlatform()
    : defaults_(xdgFolder("XDG_CONFIG_HOME", environment_.homeDirectory() + "/.config") + "/lumivane/defaults.json"),
      windows_(defaults_, journal_),
      plugins_(journal_) {}

Platform LinuxPlatform::platform() {
    return Platform{windows_, defaults_, environment_, workspace_, plugins_, imaging_, "/var/run/usbmuxd", nullptr};
}

}  // namespace lumivane
