#include "platform/linux/linux_volumes.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "platform/linux/run_tool.h"
#include "runtime/mutex.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace fs = std::filesystem;

namespace {

// A tag (LABEL, UUID) of the file system on a block device; none when it
// cannot be read (no such device, or not allowed).
std::optional<std::string> blockTag(const std::string& device, const char* tag) {
    if (device.rfind("/dev/", 0) != 0) return std::nullopt;
    blkid_cache cache = nullptr;
    if (blkid_get_cache(&cache, "/dev/null") != 0) return std::nullopt;
    char* value = blkid_get_tag_value(cache, tag, device.c_str());
    std::optional<std::string> out;
    if (value) out = value;
    std::free(value);
    blkid_put_cache(cache);
    return out;
}

std::optional<std::string> attribute(const fs::path& path) {
    auto text = readFile(path.string(), 4096);
    if (!text) return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
    return text;
}

struct DiskFacts {
    bool removable = false;
    bool usb = false;
    bool loop = false;
};

// The sysfs facts of the disk behind a device number (a partition's disk).
std::optional<DiskFacts> diskFacts(const std::string& sysfs, unsigned major, unsigned minor) {
    std::error_code error;
    auto device = fs::canonical(sysfs + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), error);
    if (error) return std::nullopt;
    auto disk = fs::exists(device / "partition", error) ? device.parent_path() : device;
    DiskFacts facts;
    facts.removable = attribute(disk / "removable") == "1";
    facts.usb = disk.string().find("/usb") != std::string::npos;
    facts.loop = disk.filename().string().rfind("loop", 0) == 0;
    return facts;
}

std::optional<MountEntry> holdingMount(const std::vector<MountEntry>& table, const std::string& path) {
    std::optional<MountEntry> best;
    for (const auto& entry : table) {
        const auto& point = entry.mountPoint;
        bool within = point == "/" || path == point || (path.rfind(point + "/", 0) == 0);
        if (within && (!best || point.size() >= best->mountPoint.size())) best = entry;  // later mounts cover earlier
    }
    return best;
}

std::optional<MountEntry> shownAt(const std::string& mountInfo, const std::string& mountPoint) {
    std::optional<MountEntry> found;
    for (auto& entry : readMountTable(mountInfo))
        if (entry.mountPoint == mountPoint && isShownVolume(entry)) found = entry;  // the top one
    return found;
}

}  // namespace

LinuxVolumes::LinuxVolumes(MainLoop& loop) : LinuxVolumes(loop, Paths()) {}

LinuxVolumes::LinuxVolumes(MainLoop& loop, Paths paths) : loop_(loop), paths_(std::move(paths)) {}

LinuxVolumes::~LinuxVolumes() {
    if (watcher_.joinable()) {
        char byte = 1;
        (void)!write(wake_[1], &byte, 1);
        watcher_.join();
    }
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

std::vector<std::string> LinuxVolumes::mountedVolumePaths() {
    std::vector<std::string> paths;
    for (const auto& entry : readMountTable(paths_.mountInfo)) {
        if (!isShownVolume(entry)) continue;
        if (std::find(paths.begin(), paths.end(), entry.mountPoint) == paths.end()) paths.push_back(entry.mountPoint);
    }
    return paths;
}

std::optional<VolumeValues> LinuxVolumes::values(const std::string& mountPoint) {
    auto entry = shownAt(paths_.mountInfo, mountPoint);
    if (!entry) return std::nullopt;
    struct statvfs space {};
    if (::statvfs(mountPoint.c_str(), &space) != 0) return std::nullopt;
    VolumeValues values;
    values.name = blockTag(entry->source, "LABEL");
    values.uuid = blockTag(entry->source, "UUID");
    bool network = isNetworkType(entry->type);
    values.local = !network;
    values.rootFileSystem = mountPoint == "/";
    values.browsable = true;
    if (auto facts = network ? std::nullopt : diskFacts(paths_.sysfs, entry->major, entry->minor)) {
        values.removable = facts->removable;
        values.ejectable = facts->removable || facts->usb || facts->loop;
        values.internal = !facts->removable && !facts->usb && !facts->loop;
    } else if (network) {
        values.removable = false;
        values.ejectable = true;
        values.internal = false;
    }
    values.totalCapacity = std::int64_t(space.f_blocks) * std::int64_t(space.f_frsize);
    values.availableCapacity = std::int64_t(space.f_bavail) * std::int64_t(space.f_frsize);
    values.localizedFormatDescription = entry->type;
    values.urlForRemounting = remountURL(*entry);
    return values;
}

Result<void> LinuxVolumes::unmountAndEject(const std::string& path) {
    // Only a volume's own mount point: a path inside one never ejects what
    // holds it.
    std::error_code error;
    auto real = fs::weakly_canonical(path, error).string();
    auto entry = shownAt(paths_.mountInfo, error ? path : real);
    if (!entry || entry->mountPoint == "/") return failure("“" + path + "” isn't a volume that can be ejected.");
    auto describe = [](const ToolOutcome& outcome, const char* tool) {
        auto text = outcome.errors.empty() ? outcome.output : outcome.errors;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text.empty() ? std::string(tool) + " failed" : text;
    };
    bool udisks = access(paths_.udisksctl.c_str(), X_OK) == 0 && access(paths_.systemBus.c_str(), F_OK) == 0 &&
                  entry->source.rfind("/dev/", 0) == 0;
    if (udisks) {
        auto unmounted = runTool({paths_.udisksctl, "unmount", "--no-user-interaction", "-b", entry->source});
        if (unmounted.exitCode != 0) return failure(describe(unmounted, "udisksctl"));
        auto facts = diskFacts(paths_.sysfs, entry->major, entry->minor);
        if (facts && facts->loop)
            runTool({paths_.udisksctl, "loop-delete", "--no-user-interaction", "-b", entry->source});
        else if (facts && (facts->removable || facts->usb))
            runTool({paths_.udisksctl, "power-off", "--no-user-interaction", "-b", entry->source});
        return {};
    }
    auto unmounted = runTool({paths_.umount, entry->mountPoint});
    if (unmounted.exitCode != 0) return failure(describe(unmounted, "umount"));
    if (entry->source.rfind("/dev/loop", 0) == 0) runTool({"/sbin/losetup", "-d", entry->source});
    return {};
}

void LinuxVolumes::unmountAndEjectLater(const std::string& path, std::function<void(Result<void>)> done) {
    ejects_.post([this, path, done = std::move(done)]() mutable {
        auto ejected = unmountAndEject(path);
        loop_.post([done = std::move(done), ejected = std::move(ejected)]() mutable { done(std::move(ejected)); });
    });
}

std::optional<PathVolume> LinuxVolumes::volumeOf(const std::string& path) {
    std::error_code error;
    auto real = fs::canonical(path, error);
    if (error) return std::nullopt;
    auto entry = holdingMount(readMountTable(paths_.mountInfo), real.string());
    if (!entry) return PathVolume{};
    return PathVolume{entry->mountPoint, blockTag(entry->source, "UUID")};
}

std::optional<PathCapacity> LinuxVolumes::capacityAt(const std::string& path) {
    struct statvfs space {};
    if (::statvfs(path.c_str(), &space) != 0) return std::nullopt;
    return PathCapacity{std::nullopt, std::int64_t(space.f_bavail) * std::int64_t(space.f_frsize)};
}

Volumes::Observation LinuxVolumes::addObserver(Change change, std::function<void()> observer) {
    auto kept = std::make_shared<std::function<void()>>(std::move(observer));
    {
        MutexLock guard(lock_);
        observers_.emplace(change, kept);
    }
    if (!watcher_.joinable() && pipe2(wake_, O_CLOEXEC) == 0) watcher_ = std::thread([this] { watch(); });
    return kept;
}

std::map<std::string, std::optional<std::string>> LinuxVolumes::snapshot() const {
    std::map<std::string, std::optional<std::string>> shown;
    for (const auto& entry : readMountTable(paths_.mountInfo))
        if (isShownVolume(entry)) shown[entry.mountPoint] = blockTag(entry.source, "LABEL");
    return shown;
}

void LinuxVolumes::watch() {
    int table = open(paths_.mountInfo.c_str(), O_RDONLY | O_CLOEXEC);
    if (table < 0) return;
    auto before = snapshot();
    for (;;) {
        // The kernel marks the table's descriptor (POLLPRI) after every
        // change. A label written to a mounted disk changes no table, so the
        // labels are also looked at again every few seconds (they come from
        // the page cache, so an idle disk is not woken).
        pollfd fds[2] = {{table, POLLPRI, 0}, {wake_[0], POLLIN, 0}};
        int ready = poll(fds, 2, int(kLabelInterval.count()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents) {
            char buffer[4096];
            lseek(table, 0, SEEK_SET);
            while (read(table, buffer, sizeof buffer) > 0) {
            }  // read to the end so the next change marks it again
        }
        auto after = snapshot();
        std::vector<Change> changes;
        for (const auto& [point, label] : after) {
            auto old = before.find(point);
            if (old == before.end())
                changes.push_back(Change::didMount);
            else if (old->second != label)
                changes.push_back(Change::didRenameVolume);
        }
        for (const auto& [point, label] : before)
            if (!after.count(point)) changes.push_back(Change::didUnmount);
        before = std::move(after);
        for (auto change : changes) {
            std::vector<std::weak_ptr<std::function<void()>>> called;
            {
                MutexLock guard(lock_);
                auto [first, last] = observers_.equal_range(change);
                for (auto it = first; it != last;) {
                    called.push_back(it->second);
                    it = it->second.expired() ? observers_.erase(it) : std::next(it);
                }
            }
            // Each is called only if its observer still holds it by then: one
            // dropped meanwhile (on the main loop) is not.
            loop_.post([called = std::move(called)] {
                for (const auto& weak : called)
                    if (auto observer = weak.lock()) (*observer)();
            });
        }
    }
    close(table);
}

}  // namespace lumivane
