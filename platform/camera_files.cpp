#include "platform/camera_files.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace lumivane {

namespace fs = std::filesystem;

std::string freeFileName(const fs::path& folder, const std::string& name) {
    return freeFileName(folder, name, [](const fs::path&) { return false; });
}

std::string freeFileName(const fs::path& folder, const std::string& name,
                         const std::function<bool(const fs::path&)>& taken) {
    auto dot = name.rfind('.');
    auto stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    auto extension = stem.size() == name.size() ? std::string() : name.substr(dot);
    std::error_code error;
    auto candidate = name;
    for (int n = 1; fs::exists(folder / candidate, error) || taken(folder / candidate); ++n)
        candidate = stem + " " + std::to_string(n) + extension;
    return candidate;
}

void DownloadProgress::observe(std::function<void(double)> observer) {
    double reached;
    {
        std::lock_guard guard(lock_);
        observer_ = observer;
        reached = fraction_;
    }
    // A copy that moved on (or finished) before anyone observed it is told
    // at once, so the last fraction (the whole file) is never missed.
    if (observer && reached > 0) observer(reached);
}

void DownloadProgress::stopObserving() {
    std::lock_guard guard(lock_);
    observer_ = nullptr;
}

void DownloadProgress::set(double fraction) {
    std::function<void(double)> observer;
    {
        std::lock_guard guard(lock_);
        fraction_ = fraction;
        observer = observer_;
    }
    if (observer) observer(fraction);
}

}  // namespace lumivane
