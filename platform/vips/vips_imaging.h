#pragma once
#include <chrono>

#include "platform/imaging.h"

namespace lumivane {

// Imaging on libvips, the same on every platform: shrink-on-load for JPEG and
// WebP, HEIF and HEIC through libheif, auto-rotation from the orientation
// tag. libvips starts once per process, at the first image (a host that
// shows no picture never loads its codecs), with each operation on one thread
// (the host's queues give the parallelism) and its operation cache off, and
// only its loaders fit for untrusted input enabled.
//
// Embedded thumbnails: a JPEG's EXIF thumbnail (turned by the main image's
// orientation, since it is stored unrotated), a HEIF's thumbnail item (turned
// by libheif from its own transform). libvips's thumbnail takes a pyramid
// TIFF's smallest page that covers the size asked for, and a DNG's first page
// is its preview. HEIF sizes are as libheif reports them, after its transform.
//
// Thread-safe; see `Imaging`.
class VipsImaging final : public Imaging {
public:
    // A thumbnail not rendered within this is none (a picture from outside
    // may be made to decode for minutes).
    static constexpr std::chrono::milliseconds kDecodeLimit{10'000};
    explicit VipsImaging(std::chrono::milliseconds decodeLimit = kDecodeLimit) : decodeLimit_(decodeLimit) {}

    std::unique_ptr<ImageSource> sourceWithData(std::vector<std::uint8_t> data) override;
    std::unique_ptr<ImageSource> sourceAtPath(const std::string& path) override;
    std::unique_ptr<Picture> pictureWithRGB(int width, int height, std::vector<std::uint8_t> rgb) override;
    std::optional<std::vector<std::uint8_t>> jpegData(const Picture& picture, double quality) override;

    // Images claiming more pixels than this are refused at the header.
    static constexpr std::int64_t kMaxPixels = std::int64_t{1} << 28;

private:
    std::chrono::milliseconds decodeLimit_;
};

}  // namespace lumivane
