#include "bridges/iphone/iphone_thumbnail.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "bridges/common/jpeg_thumbnail.h"

namespace lumivane {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool endsWithJpg(const std::string& name) {
    return name.size() >= 4 && lowered(name.substr(name.size() - 4)) == ".jpg";
}

}  // namespace

bool IPhoneThumbnail::isStillImage(const std::string& path) {
    static constexpr std::array<const char*, 10> kExtensions = {"jpg", "jpeg", "heic", "heif", "png",
                                                                "tif", "tiff", "dng",  "gif",  "webp"};
    auto name = path.substr(path.rfind('/') + 1);
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    auto extension = lowered(name.substr(dot + 1));
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

IPhoneResult<std::optional<Bytes>> IPhoneThumbnail::render(const std::string& path, int px) {
    const std::string folder = "/PhotoData/Thumbnails/V2/DCIM/" + path;
    if (auto entries = listDirectory(api_, control_, folder); entries.ok()) {
        const auto& names = entries.value();
        auto chosen = std::find(names.begin(), names.end(), "5005.JPG");
        if (chosen == names.end()) chosen = std::find_if(names.begin(), names.end(), endsWithJpg);
        if (chosen != names.end()) {
            // Once the phone's rendering is read, what it gives is the answer,
            // even nothing.
            auto bytes = readSmallFile(api_, control_, folder + "/" + *chosen, kPhoneThumbnailLimit);
            if (bytes.ok() && bytes.value())
                return jpegThumbnail(imaging_, std::move(*bytes.value()), ThumbnailFrom::imageAlways, px);
        }
    }
    if (!isStillImage(path)) return std::optional<Bytes>();
    auto bytes = readSmallFile(api_, control_, "/DCIM/" + path, kSourceLimit);
    if (!bytes.ok()) return bytes.error();
    if (!bytes.value()) return std::optional<Bytes>();
    return jpegThumbnail(imaging_, std::move(*bytes.value()), ThumbnailFrom::imageAlways, px);
}

}  // namespace lumivane
