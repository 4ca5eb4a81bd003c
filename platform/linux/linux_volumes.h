#pragma once
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/mount_table.h"
#include "platform/volumes.h"
#include "runtime/main_loop.h"
#include "runtime/mutex.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// This machine's mounted volumes, from the kernel's mount table: names and
// UUIDs from libblkid, removable and internal from the block device's sysfs
// attributes (a partition asks its disk), capacities from statvfs. The table
// is watched on a thread of this adapter (the kernel marks its descriptor
// when it changes; labels, which can change without it, are looked at every
// few seconds), and each mount, unmount or label change is reported on the
// main loop. Eject goes through udisks2 when its tool and the
// system bus are there, else umount (and the loop device is detached).
//
// Main thread, except the watcher and `ejects_`; `lock_` guards `observers_`.
class LinuxVolumes final : public Volumes {
public:
    // Where the system's parts are; a test points them at its own.
    struct Paths {
        std::string mountInfo = "/proc/self/mountinfo";
        std::string udisksctl = "/usr/bin/udisksctl";
        std::string systemBus = "/run/dbus/system_bus_socket";
        std::string umount = "/bin/umount";
        std::string sysfs = "/sys";
    };
    explicit LinuxVolumes(MainLoop& loop);
    LinuxVolumes(MainLoop& loop, Paths paths);
    // How often labels are looked at between changes of the mount table.
    static constexpr std::chrono::milliseconds kLabelInterval{3000};
    ~LinuxVolumes() override;

    std::vector<std::string> mountedVolumePaths() override;
    std::optional<VolumeValues> values(const std::string& mountPoint) override;
    Result<void> unmountAndEject(const std::string& path) override;
    // On `ejects_`: umount and udisks take a flush of the disk's writes.
    void unmountAndEjectLater(const std::string& path, std::function<void(Result<void>)> done) override;
    std::optional<PathVolume> volumeOf(const std::string& path) override;
    std::optional<PathCapacity> capacityAt(const std::string& path) override;
    Observation addObserver(Change change, std::function<void()> observer) override;

private:
    // The shown volumes by mount point, with their labels.
    std::map<std::string, std::optional<std::string>> snapshot() const;
    void watch();

    MainLoop& loop_;
    Paths paths_;
    Mutex lock_;
    std::multimap<Change, std::weak_ptr<std::function<void()>>> observers_ LUMIVANE_GUARDED_BY(lock_);
    int wake_[2] = {-1, -1};  // written to end the watcher
    std::thread watcher_;     // started with the first observer
    // Ejects asked to run in the background, one at a time; drained before
    // the rest is destroyed (the last member). unmountAndEject reads only
    // the mount table and `paths_`, so it runs there too.
    SerialQueue ejects_{"lumivane.eject"};
};

}  // namespace lumivane
