#include "platform/camera_files.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace lumivane {

namespace fs = std::filesystem;

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

std::optional<std::string> cameraTypeIdentifier(const std::string& name) {
    static const std::map<std::string, std::string> kTypes = {
        {"jpg", "public.jpeg"},
        {"jpeg", "public.jpeg"},
        {"heic", "public.heic"},
        {"heif", "public.heif"},
        {"png", "public.png"},
        {"tif", "public.tiff"},
        {"tiff", "public.tiff"},
        {"gif", "com.compuserve.gif"},
        {"webp", "org.webmproject.webp"},
        {"dng", "com.adobe.raw-image"},
        {"cr2", "com.adobe.raw-image"},
        {"cr3", "com.adobe.raw-image"},
        {"nef", "com.adobe.raw-image"},
        {"arw", "com.adobe.raw-image"},
        {"raf", "com.adobe.raw-image"},
        {"orf", "com.adobe.raw-image"},
        {"rw2", "com.adobe.raw-image"},
        {"mov", "com.apple.quicktime-movie"},
        {"mp4", "public.mpeg-4"},
        {"m4v", "com.apple.m4v-video"},
        {"avi", "public.avi"},
        {"mts", "public.avchd-mpeg-2-transport-stream"},
        {"3gp", "public.3gpp"},
    };
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    auto found = kTypes.find(lowered(name.substr(dot + 1)));
    return found == kTypes.end() ? std::nullopt : std::optional<std::string>(found->second);
}

bool isCameraVideoName(const std::string& name) {
    for (const char* extension : {".mov", ".mp4", ".m4v", ".avi", ".mts", ".3gp"})
        if (lowered(name).size() > 4 && lowered(name).ends_with(extension)) return true;
    return false;
}

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
