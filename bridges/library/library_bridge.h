#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bridges/common/bridge.h"
#include "channel/encodable_value.h"
#include "channel/method_channel.h"
#include "platform/photo_library.h"
#include "runtime/lifetime.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// The photo library channel "lumivane/library": four facts about library
// assets, named by their local identifiers, that the interface's own photo
// plugin does not give: the stored size of an asset's files, JPEG frames of
// a video, a face capture quality score and the RAW plus JPEG marker.
//
// Threads: handle() and every answer on the main loop; the work runs on the
// serial "lumivane.library" queue, made on first use, one call at a time in
// submission order. `queue_` is touched on the main loop only; queued work
// refers to the bridge through `lifetime_`.
class LibraryBridge final : public Bridge {
public:
    explicit LibraryBridge(const BridgeContext& context);
    ~LibraryBridge() override;

    // Installs the channel.
    void start(BinaryMessenger& messenger) override;
    void shutdown() override { stopping_ = true; }
    void handle(const MethodCall& call, MethodResult result);

    // ---- the work behind the methods, on the library queue ----
    // Identifier -> the sum of the stored sizes of the asset's files, for
    // sums of at least 1.
    EncodableMap fileSize(const std::vector<std::string>& ids);
    // Identifier -> the highest face capture quality found in the asset's
    // image fitted into px by px, or -1 (no face, or the analysis failed).
    EncodableMap faceQuality(const std::vector<std::string>& ids, int px);
    // Identifier -> "raw+jpeg", for assets with an alternate photo file.
    EncodableMap traits(const std::vector<std::string>& ids);
    // One JPEG per fraction of the video's duration, in order; empty when the
    // asset is not a video stored here or any frame fails.
    EncodableList videoFrames(const std::string& id, const std::vector<double>& at, int px);

    static constexpr double kFrameJpegQuality = kThumbnailJpegQuality;
    static constexpr double kFrameTolerance = 0.5;  // seconds, either side
    static constexpr int kFrameTimescale = 600;     // frame times are whole 1/600 s

private:
    // Runs `work` on the library queue and answers what it gives, on the main
    // loop; a call the host is going before it runs goes unanswered.
    void submit(MethodResult result, std::function<EncodableValue()> work);

    PhotoLibrary& library_;
    VideoFrames& videoFrames_;
    Imaging& imaging_;
    MainLoop& loop_;
    Log& log_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<MethodChannel> channel_;
    std::unique_ptr<SerialQueue> queue_;  // main loop only
    Lifetime lifetime_;                   // queued work asks it; the last member
};

}  // namespace lumivane
