#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace lumivane {

// A person's judgement of a picture while choosing what to keep, as photo
// tools record it: 0 to 5 stars, and picked (1), rejected (-1) or neither (0).
struct PhotoRating {
    int stars = 0;
    int pick = 0;
    bool operator==(const PhotoRating&) const = default;
};

// What a still picture's own metadata says about it. Any thread, several at
// once.
class PhotoMetadata {
public:
    virtual ~PhotoMetadata() = default;
    // When the picture in the file was taken, in seconds since 1970 UTC: its
    // EXIF DateTimeOriginal, read with OffsetTimeOriginal when the file gives
    // one and as this machine's local time when it does not; none when the
    // file records no such date or is no picture the reader knows (JPEG,
    // HEIC, TIFF and the RAW formats built on it or on HEIF).
    virtual std::optional<std::int64_t> captureTime(const std::string& path) = 0;
    // The XMP sidecar `packet` (empty: a new one) with `rating` set in it as
    // photo tools read it (xmp:Rating, -1 for a reject; xmpDM:pick), and
    // everything else it held kept; none when `packet` is no XMP it can read.
    virtual std::optional<std::string> rated(const std::string& packet, PhotoRating rating) = 0;
};

}  // namespace lumivane
