#include "platform/common/media_types.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace lumivane {

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
    static const std::set<std::string> kVideoTypes = {
        "com.apple.quicktime-movie",
        "public.mpeg-4",
        "com.apple.m4v-video",
        "public.avi",
        "public.avchd-mpeg-2-transport-stream",
        "public.3gpp",
    };
    auto type = cameraTypeIdentifier(name);
    return name.size() > 4 && type && kVideoTypes.count(*type) > 0;  // a bare ".mov" is a hidden file
}

bool isVideoFileName(const std::string& name) {
    static const std::set<std::string> kExtensions = {"mov", "mp4", "m4v", "avi", "mts", "m2ts",
                                                      "mxf", "3gp", "lrv", "lrf", "insv"};
    auto dot = name.rfind('.');
    return dot != std::string::npos && kExtensions.count(lowered(name.substr(dot + 1))) > 0;
}

bool isHeifFileName(const std::string& name) {
    static const std::set<std::string> kExtensions = {"heic", "heif", "hif", "avif"};
    auto dot = name.rfind('.');
    return dot != std::string::npos && kExtensions.count(lowered(name.substr(dot + 1))) > 0;
}

}  // namespace lumivane
