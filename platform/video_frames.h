#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/imaging.h"

namespace lumivane {

// Still frames of video files. Any thread, several at once.
class VideoFrames {
public:
    struct Request {
        double seconds = 0;      // the time asked for
        int maxPixelSize = 256;  // the frame fits in a square this size, its shape kept
        // How far from `seconds` the frame may be, before and after; unset
        // is unlimited (the nearest frame that decodes).
        std::optional<double> toleranceBefore, toleranceAfter;
    };

    virtual ~VideoFrames() = default;
    // The frame, turned the way the video's track says; null when the file
    // has no video that decodes there.
    virtual std::unique_ptr<Picture> frame(const std::string& path, const Request& request) = 0;
    // The file's length in seconds, from its container; none when unknown.
    virtual std::optional<double> duration(const std::string& path) = 0;
    // When the video was recorded, in seconds since 1970 UTC, from its
    // container's creation date (QuickTime's own with its zone, else the
    // container's UTC one); none when the file records none.
    virtual std::optional<std::int64_t> creationTime(const std::string& path) = 0;
};

}  // namespace lumivane
