#include "platform/sim/sim_volumes.h"

#include <sys/statvfs.h>

#include <filesystem>
#include <utility>

namespace lumivane {

namespace fs = std::filesystem;

namespace {

// A path without "." and ".." and trailing slashes.
std::string normal(const std::string& path) {
    auto text = fs::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool isWithin(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") return true;
    return path == mountPoint ||
           (path.size() > mountPoint.size() && path.compare(0, mountPoint.size(), mountPoint) == 0 &&
            path[mountPoint.size()] == '/');
}

}  // namespace

SimVolumes::Volume* SimVolumes::find(const std::string& mountPoint) {
    auto wanted = normal(mountPoint);
    for (auto& volume : volumes_)
        if (volume.path == wanted) return &volume;
    return nullptr;
}

SimVolumes::Volume* SimVolumes::holding(const std::string& path) {
    auto wanted = normal(path);
    Volume* best = nullptr;
    for (auto& volume : volumes_)
        if (isWithin(wanted, volume.path) && (!best || volume.path.size() > best->path.size())) best = &volume;
    return best;
}

void SimVolumes::notify(Change change) {
    std::vector<std::shared_ptr<std::function<void()>>> called;
    auto [first, last] = observers_.equal_range(change);
    for (auto it = first; it != last;) {
        auto observer = it->second.lock();
        it = observer ? std::next(it) : observers_.erase(it);
        if (observer) called.push_back(std::move(observer));
    }
    for (const auto& observer : called) (*observer)();
}

void SimVolumes::mount(const std::string& path, const VolumeValues& values) {
    journal_.add("volumes.mount " + normal(path));
    if (auto* volume = find(path))
        *volume = Volume{volume->path, values};
    else
        volumes_.push_back({normal(path), values});
    notify(Change::didMount);
}

bool SimVolumes::unmount(const std::string& path) {
    auto* volume = find(path);
    if (!volume) return false;
    journal_.add("volumes.unmount " + volume->path);
    volumes_.erase(volumes_.begin() + (volume - volumes_.data()));
    notify(Change::didUnmount);
    return true;
}

bool SimVolumes::rename(const std::string& path, const std::string& name) {
    auto* volume = find(path);
    if (!volume) return false;
    volume->values.name = name;
    volume->values.localizedName = name;
    notify(Change::didRenameVolume);
    return true;
}

bool SimVolumes::failRead(const std::string& path) {
    auto* volume = find(path);
    if (volume) volume->unreadable = true;
    return volume != nullptr;
}

bool SimVolumes::setEjectResult(const std::string& path, std::optional<std::string> error) {
    auto* volume = find(path);
    if (volume) volume->ejectError = std::move(error);
    return volume != nullptr;
}

std::vector<std::string> SimVolumes::mountedVolumePaths() {
    std::vector<std::string> paths;
    for (const auto& volume : volumes_) paths.push_back(volume.path);
    return paths;
}

std::optional<VolumeValues> SimVolumes::values(const std::string& mountPoint) {
    auto* volume = find(mountPoint);
    if (!volume || volume->unreadable) return std::nullopt;
    return volume->values;
}

Result<void> SimVolumes::unmountAndEject(const std::string& path) {
    auto* volume = find(path);  // a volume's own mount point only
    if (!volume) return failure("“" + path + "” isn't a volume that can be ejected.");
    journal_.add("volumes.eject " + volume->path);
    // The control promises the next eject only: the one after goes as usual.
    if (auto error = std::exchange(volume->ejectError, std::nullopt)) return failure(*error);
    unmount(volume->path);
    return {};
}

std::optional<PathVolume> SimVolumes::volumeOf(const std::string& path) {
    std::error_code ignored;
    if (!fs::exists(path, ignored)) return std::nullopt;
    auto* volume = holding(path);
    if (!volume) return PathVolume{"/", std::nullopt};
    if (volume->unreadable) return std::nullopt;
    return PathVolume{volume->path, volume->values.uuid};
}

std::optional<PathCapacity> SimVolumes::capacityAt(const std::string& path) {
    if (auto* volume = holding(path)) {
        if (volume->unreadable) return std::nullopt;
        return PathCapacity{volume->values.availableCapacityForImportantUsage, volume->values.availableCapacity};
    }
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
    return PathCapacity{std::nullopt, std::int64_t(info.f_bavail) * std::int64_t(info.f_frsize)};
}

Volumes::Observation SimVolumes::addObserver(Change change, std::function<void()> observer) {
    auto kept = std::make_shared<std::function<void()>>(std::move(observer));
    observers_.emplace(change, kept);
    return kept;
}

OpenPanel::Outcome SimOpenPanel::run(const Options& options) {
    journal_.add("openPanel \"" + options.title + "\"");
    last_ = options;
    return std::exchange(answer_, Outcome{});
}

}  // namespace lumivane
