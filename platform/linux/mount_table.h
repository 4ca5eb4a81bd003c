#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumivane {

// One line of /proc/self/mountinfo.
struct MountEntry {
    unsigned major = 0, minor = 0;  // the device
    std::string mountPoint;         // unescaped
    std::string type;               // "ext4", "nfs4", "fuse.sshfs"
    std::string source;             // "/dev/sdb1", "//host/share", "host:/path"
    bool operator==(const MountEntry&) const = default;
};

// The kernel's mount table, read whole. Lines that do not parse are left
// out. Any thread.
std::vector<MountEntry> parseMountInfo(std::string_view text);
std::vector<MountEntry> readMountTable(const std::string& path = "/proc/self/mountinfo");

// What a file manager would show: the root file system, file systems on
// block devices, network shares; never kernel, memory or container layers.
bool isShownVolume(const MountEntry& entry);
bool isNetworkType(const std::string& type);
// The share's URL ("smb://host/share", "nfs://host/path",
// "sftp://user@host/path"); none for local file systems.
std::optional<std::string> remountURL(const MountEntry& entry);

}  // namespace lumivane
