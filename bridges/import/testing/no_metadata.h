#pragma once
// Platform services for the import engine's tests whose files record no
// capture time, so the file's own time names every copy.
#include "platform/photo_metadata.h"
#include "platform/video_frames.h"

namespace lumivane {

// Any thread.
struct NoPhotoMetadata final : PhotoMetadata {
    std::optional<std::int64_t> captureTime(const std::string&) override { return std::nullopt; }
    // The packet with one line added that says the rating, so a test sees
    // what was written where; a packet that starts "bad" is not XMP.
    std::optional<std::string> rated(const std::string& packet, PhotoRating rating) override {
        if (packet.rfind("bad", 0) == 0) return std::nullopt;
        return packet + "rated " + std::to_string(rating.stars) + " " + std::to_string(rating.pick) + "\n";
    }
};
struct NoVideoFrames final : VideoFrames {
    std::unique_ptr<Picture> frame(const std::string&, const Request&) override { return nullptr; }
    std::optional<double> duration(const std::string&) override { return std::nullopt; }
    std::optional<std::int64_t> creationTime(const std::string&) override { return std::nullopt; }
};

}  // namespace lumivane
