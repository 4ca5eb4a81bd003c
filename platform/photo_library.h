#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/imaging.h"
#include "runtime/result.h"

namespace lumivane {

// What the host asks of the system's photo library: assets named by their
// local identifiers, their stored files, a fitted image of a photo, the video
// of a video, and face analysis of an image. Nothing is fetched over the
// network: only data stored on this machine is used.
//
// Threads: called on the library queue (one call at a time); an
// implementation may be told where to look from the main loop meanwhile.

// What an asset is, as the library classes it.
enum class AssetMediaType { unknown, image, video, audio };

// The kinds of file behind an asset, numbered as the library numbers them.
// `other` is a kind this host does not know.
enum class AssetResourceType {
    other = 0,
    photo = 1,
    video = 2,
    audio = 3,
    alternatePhoto = 4,  // the RAW of a RAW plus JPEG pair
    fullSizePhoto = 5,
    fullSizeVideo = 6,
    adjustmentData = 7,
    adjustmentBasePhoto = 8,
    pairedVideo = 9,
    fullSizePairedVideo = 10,
    adjustmentBasePairedVideo = 11,
    adjustmentBaseVideo = 12,
};

// A resource's stored size, as the library reports it: a whole number of
// bytes, a value of another kind, or nothing.
struct StoredSize {
    enum class Kind { unknown, integer, other };
    Kind kind = Kind::unknown;
    std::int64_t bytes = 0;  // when `integer`
    bool operator==(const StoredSize&) const = default;
};

struct AssetResource {
    AssetResourceType type = AssetResourceType::other;
    StoredSize storedSize;
};

struct LibraryAsset {
    std::string localIdentifier;
    AssetMediaType mediaType = AssetMediaType::unknown;
    double duration = 0;  // seconds; 0 when it has none
};

// The capture quality (0 to 1) of each face found; none for a face the
// analysis gave no quality.
using FaceQualities = std::vector<std::optional<double>>;

class PhotoLibrary {
public:
    virtual ~PhotoLibrary() = default;
    // The assets with these identifiers, in fetch order, each once; unknown
    // identifiers are left out.
    virtual std::vector<LibraryAsset> fetchAssets(const std::vector<std::string>& localIdentifiers) = 0;
    // The asset's stored files.
    virtual std::vector<AssetResource> resources(const LibraryAsset& asset) = 0;
    // The asset's image fitted into a square of `side` pixels (aspect fit,
    // never enlarged, turned upright); a side of 0 or less asks for the
    // image's full size. Null when no image is stored here.
    virtual std::unique_ptr<Picture> image(const LibraryAsset& asset, int side) = 0;
    // The file of a video asset's current version; none when it is not
    // stored here.
    virtual std::optional<std::string> videoFile(const LibraryAsset& asset) = 0;
    // Face analysis of an image this library made; the failure is the
    // analysis's own description.
    virtual Result<FaceQualities> faceCaptureQualities(const Picture& image) = 0;
};

}  // namespace lumivane
