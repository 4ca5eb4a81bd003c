#pragma once
// Platform services for the import engine's tests whose files record no
// capture time, so the file's own time names every copy.
#include "platform/photo_metadata.h"
#include "platform/video_frames.h"

namespace lumivane {

// Any thread.
struct NoPhotoMetadata final : PhotoMetadata {
    std::optional<std::int64_t> captureTime(const std::string&) override { return std::nullopt; }
};
struct NoVideoFrames final : VideoFrames {
    std::unique_ptr<Picture> frame(const std::string&, const Request&) override { return nullptr; }
    std::optional<double> duration(const std::string&) override { return std::nullopt; }
    std::optional<std::int64_t> creationTime(const std::string&) override { return std::nullopt; }
};

}  // namespace lumivane
