#include "bridges/library/library_bridge.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "bridges/common/pending_result.h"
#include "channel/arguments.h"

namespace lumivane {

namespace {

constexpr int kDefaultFramePx = 160;
constexpr int kDefaultFacePx = 512;
const std::vector<double> kDefaultFractions = {0.2, 0.5, 0.8};

// The string entries of the list under `key` (absent or not a list: none).
std::vector<std::string> identifiers(const Arguments& args, const char* key) {
    std::vector<std::string> ids;
    if (const auto* list = args.list(key))
        for (const auto& value : *list)
            if (const auto* id = value.get<std::string>()) ids.push_back(*id);
    return ids;
}

// The fractions under "at"; a list holding anything but numbers reads as
// absent.
std::vector<double> fractions(const Arguments& args) {
    const auto* list = args.list("at");
    if (!list) return kDefaultFractions;
    std::vector<double> at;
    for (const auto& value : *list) {
        if (const auto* real = value.get<double>())
            at.push_back(*real);
        else if (const auto* small = value.get<std::int32_t>())
            at.push_back(*small);
        else if (const auto* large = value.get<std::int64_t>())
            at.push_back(double(*large));
        else
            return kDefaultFractions;
    }
    return at;
}

// `seconds` as a time of whole 1/600 s, the way frame times are kept; none
// when it is not a finite time.
std::optional<double> frameTime(double seconds) {
    double ticks = std::round(seconds * LibraryBridge::kFrameTimescale);
    if (!std::isfinite(ticks) || std::abs(ticks) > 9e15) return std::nullopt;
    return ticks / LibraryBridge::kFrameTimescale;
}

}  // namespace

LibraryBridge::LibraryBridge(const BridgeContext& context)
    : library_(context.platform.library),
      videoFrames_(context.platform.videoFrames),
      imaging_(context.platform.imaging),
      loop_(context.loop),
      log_(context.log) {}

LibraryBridge::~LibraryBridge() = default;  // the lifetime ends first, then the queue drains to nothing

void LibraryBridge::start(BinaryMessenger& messenger) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    channel_ = std::make_unique<MethodChannel>(messenger, "lumivane/library", log_);
    channel_->setMethodCallHandler(
        [this](const MethodCall& call, MethodResult result) { handle(call, std::move(result)); });
}

void LibraryBridge::submit(MethodResult result, std::function<EncodableValue()> work) {
    if (!queue_) queue_ = std::make_unique<SerialQueue>("lumivane.library");
    queue_->post(lifetime_.guard([this, pending = PendingResult(std::move(result), loop_), work = std::move(work)] {
        if (stopping_) return;
        pending.success(work());
    }));
}

void LibraryBridge::handle(const MethodCall& call, MethodResult result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    Arguments args(call.arguments);
    auto ids = identifiers(args, "ids");
    const auto& method = call.method;
    if (method == "fileSize") {
        submit(std::move(result), [this, ids] { return EncodableValue(fileSize(ids)); });
    } else if (method == "faceQuality") {
        submit(std::move(result),
               [this, ids, px = args.pixelSize("px", kDefaultFacePx)] { return EncodableValue(faceQuality(ids, px)); });
    } else if (method == "traits") {
        submit(std::move(result), [this, ids] { return EncodableValue(traits(ids)); });
    } else if (method == "videoFrames") {
        auto id = args.string("id");
        if (!id) return result.success(EncodableList{});
        submit(std::move(result), [this, id = *id, at = fractions(args), px = args.pixelSize("px", kDefaultFramePx)] {
            return EncodableValue(videoFrames(id, at, px));
        });
    } else {
        result.notImplemented();
    }
}

EncodableMap LibraryBridge::fileSize(const std::vector<std::string>& ids) {
    EncodableMap sizes;
    for (const auto& asset : library_.fetchAssets(ids)) {
        std::int64_t sum = 0;
        for (const auto& resource : library_.resources(asset)) {
            if (resource.storedSize.kind != StoredSize::Kind::integer) continue;
            // A listing from outside may hold any number: the sum saturates.
            if (__builtin_add_overflow(sum, resource.storedSize.bytes, &sum))
                sum = resource.storedSize.bytes > 0 ? INT64_MAX : INT64_MIN;
        }
        if (sum >= 1) sizes.set(asset.localIdentifier, sum);
    }
    return sizes;
}

EncodableMap LibraryBridge::faceQuality(const std::vector<std::string>& ids, int px) {
    EncodableMap scores;
    for (const auto& asset : library_.fetchAssets(ids)) {
        if (stopping_) break;
        auto image = library_.image(asset, px);
        if (!image) continue;
        double score = -1;
        auto faces = library_.faceCaptureQualities(*image);
        if (faces) {
            for (const auto& quality : faces.value())
                if (quality) score = std::max(score, *quality);
        } else {
            log_.write("Lumivane faceQuality: " + faces.error().message);
        }
        scores.set(asset.localIdentifier, score);
    }
    return scores;
}

EncodableMap LibraryBridge::traits(const std::vector<std::string>& ids) {
    EncodableMap traits;
    for (const auto& asset : library_.fetchAssets(ids)) {
        auto resources = library_.resources(asset);
        if (std::any_of(resources.begin(), resources.end(), [](const AssetResource& resource) {
                return resource.type == AssetResourceType::alternatePhoto;
            }))
            traits.set(asset.localIdentifier, "raw+jpeg");
    }
    return traits;
}

EncodableList LibraryBridge::videoFrames(const std::string& id, const std::vector<double>& at, int px) {
    auto assets = library_.fetchAssets({id});
    if (assets.empty()) return {};
    const auto& asset = assets.front();
    if (asset.mediaType != AssetMediaType::video || !(asset.duration > 0)) return {};
    auto file = library_.videoFile(asset);
    if (!file) return {};

    VideoFrames::Request request;
    request.maxPixelSize = px > 0 ? px : INT_MAX;  // 0 or less: the video's own size
    request.toleranceBefore = request.toleranceAfter = kFrameTolerance;
    EncodableList frames;
    for (double fraction : at) {
        if (stopping_) return {};
        auto time = frameTime(asset.duration * fraction);
        if (!time) return {};
        request.seconds = *time;
        auto frame = videoFrames_.frame(*file, request);
        auto jpeg = frame ? imaging_.jpegData(*frame, kFrameJpegQuality) : std::nullopt;
        if (!jpeg) return {};  // one frame missing drops them all
        frames.emplace_back(std::move(*jpeg));
    }
    return frames;
}

}  // namespace lumivane
