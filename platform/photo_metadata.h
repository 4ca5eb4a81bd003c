#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace lumivane {

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
};

}  // namespace lumivane
