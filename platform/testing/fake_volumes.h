#pragma once
// Volumes as a test sets them: values by mount point, an eject that answers
// what it is told, and the observers kept so the test can fire a change.
#include <map>
#include <utility>

#include "platform/volumes.h"

namespace lumivane {

class FakeVolumes final : public Volumes {
public:
    std::vector<std::string> mountedVolumePaths() override { return order; }
    std::optional<VolumeValues> values(const std::string& mountPoint) override {
        auto it = volumes.find(mountPoint);
        return it == volumes.end() ? std::nullopt : std::optional(it->second);
    }
    Result<void> unmountAndEject(const std::string& path) override {
        ejected.push_back(path);
        return ejectFailure ? Result<void>(*ejectFailure) : Result<void>();
    }
    std::optional<PathVolume> volumeOf(const std::string& path) override { return pathVolume; }
    std::optional<PathCapacity> capacityAt(const std::string& path) override { return capacity; }
    Observation addObserver(Change change, std::function<void()> observer) override {
        observers.emplace_back(change, std::move(observer));
        return std::make_shared<int>(0);
    }

    // Adds a volume at the end of the list.
    void add(const std::string& mountPoint, VolumeValues values) {
        order.push_back(mountPoint);
        volumes[mountPoint] = std::move(values);
    }

    std::vector<std::string> order;               // mounted volumes in the system's order
    std::map<std::string, VolumeValues> volumes;  // missing: the values cannot be read
    std::optional<Error> ejectFailure;            // what the next ejects answer
    std::vector<std::string> ejected;             // every path asked to eject
    std::optional<PathVolume> pathVolume;         // what volumeOf answers
    std::optional<PathCapacity> capacity;         // what capacityAt answers
    std::vector<std::pair<Change, std::function<void()>>> observers;
};

}  // namespace lumivane
