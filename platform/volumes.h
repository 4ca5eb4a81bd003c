#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/result.h"

namespace lumivane {

// What the system knows of one mounted volume. Every value may be unknown.
struct VolumeValues {
    std::optional<std::string> name;
    std::optional<std::string> localizedName;
    std::optional<std::string> uuid;
    std::optional<bool> removable;
    std::optional<bool> ejectable;
    std::optional<bool> internal;
    std::optional<bool> local;
    std::optional<bool> rootFileSystem;
    std::optional<bool> browsable;
    std::optional<std::int64_t> totalCapacity;
    std::optional<std::int64_t> availableCapacityForImportantUsage;
    std::optional<std::int64_t> availableCapacity;
    std::optional<std::string> localizedFormatDescription;
    std::optional<std::string> urlForRemounting;
};

// The volume holding a path.
struct PathVolume {
    std::optional<std::string> root;  // the volume's mount point
    std::optional<std::string> uuid;
};

// Free room on the volume of a path.
struct PathCapacity {
    std::optional<std::int64_t> availableForImportantUsage;
    std::optional<std::int64_t> available;
};

// Mounted volumes: the file manager's list, their resource values, eject,
// and the workspace's mount, unmount and rename notices.
//
// Main thread only; observers are called on the main loop.
class Volumes {
public:
    enum class Change { didMount, didUnmount, didRenameVolume };

    virtual ~Volumes() = default;
    // The mount points of the volumes a user would see (hidden ones skipped),
    // in the system's order.
    virtual std::vector<std::string> mountedVolumePaths() = 0;
    // Null when the values cannot be read.
    virtual std::optional<VolumeValues> values(const std::string& mountPoint) = 0;
    // Unmounts and ejects the device at `path`; blocks until done. A failure
    // is the system's description of it.
    virtual Result<void> unmountAndEject(const std::string& path) = 0;
    // The same for a caller that need not wait: where the system's eject
    // takes time it runs off the main thread; `done` is called on the main
    // loop (here at once, before this returns).
    virtual void unmountAndEjectLater(const std::string& path, std::function<void(Result<void>)> done) {
        done(unmountAndEject(path));
    }
    // Null when the values of `path` cannot be read (it does not exist).
    virtual std::optional<PathVolume> volumeOf(const std::string& path) = 0;
    virtual std::optional<PathCapacity> capacityAt(const std::string& path) = 0;
    // What keeps an observer called: it is called after each such change, on
    // the main loop, for as long as its Observation lives, and never after
    // the Observation is dropped (on the main loop).
    using Observation = std::shared_ptr<void>;
    [[nodiscard]] virtual Observation addObserver(Change change, std::function<void()> observer) = 0;
};

}  // namespace lumivane
