#pragma once
#include <chrono>

#include "platform/imaging.h"
#include "platform/video_frames.h"

namespace lumivane {

// Video frames through FFmpeg's libraries, the same on every platform: the
// file's best video stream, a seek to the key frame before the time asked
// for and decoding forward to the frame nearest it within the tolerance, the
// stream's display rotation applied, scaled (never enlarged) to fit, handed
// to the imaging layer as a picture. One decoding thread per call: the
// host's queues give the parallelism.
//
// Thread-safe; see `VideoFrames`.
class FfmpegVideoFrames final : public VideoFrames {
public:
    // A call gives up on its file after `timeLimit` (every read after it fails).
    static constexpr std::chrono::milliseconds kTimeLimit{10'000};
    explicit FfmpegVideoFrames(Imaging& imaging, std::chrono::milliseconds timeLimit = kTimeLimit)
        : imaging_(imaging), timeLimit_(timeLimit) {}
    std::unique_ptr<Picture> frame(const std::string& path, const Request& request) override;
    std::optional<double> duration(const std::string& path) override;
    std::optional<std::int64_t> creationTime(const std::string& path) override;

    // Frames of more pixels than this are not decoded, nor more frames than
    // kMaxFrames on the way to the one asked for.
    static constexpr std::int64_t kMaxPixels = std::int64_t{1} << 26;
    static constexpr int kMaxFrames = 2000;

private:
    Imaging& imaging_;
    std::chrono::milliseconds timeLimit_;
};

}  // namespace lumivane
