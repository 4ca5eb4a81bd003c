#include "platform/linux/mount_table.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "runtime/read_file.h"

namespace lumivane {

namespace {

// Mount table fields escape space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        auto octal = [&](std::size_t k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        auto end = line.find(' ', at);
        if (end == std::string_view::npos) end = line.size();
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        auto parts = fields(text.substr(at, end - at));
        at = end + 1;
        // id parent major:minor root mount-point options [optional...] - type source super-options
        auto dash = std::find(parts.begin(), parts.end(), "-");
        if (parts.size() < 6 || dash == parts.end() || dash - parts.begin() < 6 || parts.end() - dash < 3) continue;
        MountEntry entry;
        auto device = parts[2];
        auto colon = device.find(':');
        if (colon == std::string_view::npos) continue;
        auto major = std::from_chars(device.data(), device.data() + colon, entry.major);
        auto minor = std::from_chars(device.data() + colon + 1, device.data() + device.size(), entry.minor);
        if (major.ec != std::errc() || minor.ec != std::errc()) continue;
        entry.mountPoint = unescape(parts[4]);
        entry.type = unescape(dash[1]);
        entry.source = unescape(dash[2]);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<MountEntry> readMountTable(const std::string& path) {
    auto text = readFile(path, 16u << 20);
    return text ? parseMountInfo(*text) : std::vector<MountEntry>{};
}

bool isNetworkType(const std::string& type) {
    static constexpr std::array<const char*, 10> kTypes = {"nfs",   "nfs4",       "cifs", "smb3", "smbfs",
                                                           "ncpfs", "fuse.sshfs", "afs",  "9p",   "ceph"};
    return std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end();
}

bool isShownVolume(const MountEntry& entry) {
    if (entry.mountPoint == "/") return true;
    if (isNetworkType(entry.type)) return true;
    if (!startsWith(entry.source, "/dev/")) return false;                   // kernel and memory file systems
    if (entry.type == "squashfs" || entry.type == "overlay") return false;  // snap images, container layers
    // System places and the files containers bind into place.
    for (std::string_view hidden : {"/proc", "/sys", "/dev", "/run", "/snap", "/boot", "/etc", "/var/lib"})
        if (entry.mountPoint == hidden || startsWith(entry.mountPoint, std::string(hidden) + "/"))
            return startsWith(entry.mountPoint, "/run/media/");
    return true;
}

std::optional<std::string> remountURL(const MountEntry& entry) {
    const auto& source = entry.source;
    if (entry.type == "cifs" || entry.type == "smb3" || entry.type == "smbfs") {
        if (!startsWith(source, "//")) return std::nullopt;
        return "smb:" + source;
    }
    if (entry.type == "nfs" || entry.type == "nfs4") {
        auto colon = source.find(':');
        if (colon == std::string::npos || colon == 0) return std::nullopt;
        auto path = source.substr(colon + 1);
        return "nfs://" + source.substr(0, colon) + (startsWith(path, "/") ? path : "/" + path);
    }
    if (entry.type == "fuse.sshfs") {
        auto colon = source.find(':');
        if (colon == std::string::npos || colon == 0) return std::nullopt;
        auto path = source.substr(colon + 1);
        return "sftp://" + source.substr(0, colon) + (startsWith(path, "/") ? path : "/" + path);
    }
    return std::nullopt;
}

}  // namespace lumivane
