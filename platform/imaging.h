#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumivane {

// Image decoding, scaling and JPEG encoding: what the host asks of the
// system's imaging framework, for iPhone, camera, file and library
// thumbnails.
//
// Threads: an `Imaging` is used from any thread, by several at once; each
// source and picture it makes is used by one thread at a time. Nothing
// decoded is cached: every thumbnail decodes afresh and memory stays flat.

// Width and height in pixels.
struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};

// Where a thumbnail comes from.
enum class ThumbnailFrom {
    // A ready-made thumbnail stored in the file (a JPEG's EXIF thumbnail, a
    // HEIF thumbnail item, a TIFF's preview page) when it has one, else the
    // full image.
    embeddedIfPresent,
    // Always the full image, whatever the file stores beside it.
    imageAlways,
};

struct ThumbnailOptions {
    ThumbnailFrom from = ThumbnailFrom::imageAlways;
    int maxPixelSize = 256;     // the longer edge at most; a smaller image is never enlarged
    bool withTransform = true;  // turned the way the file's orientation says
};

// How half of the size asked for is taken: a file's embedded thumbnail is
// held to half of `px` in whole pixels, rounded down (px 321: 160 will do); a
// camera's own preview to half exactly (px 321: 160.5).
enum class HalfOf { wholePixels, exact };

// Whether a ready-made preview (a file's embedded thumbnail, a camera's own
// preview) of `size` will do for a thumbnail of `px`: its longer edge is at
// least half of `px`. Otherwise the picture itself is rendered.
inline bool previewWillDo(PixelSize size, int px, HalfOf half = HalfOf::exact) {
    std::int64_t longer = std::max(size.width, size.height);
    return half == HalfOf::wholePixels ? longer >= px / 2 : 2 * longer >= px;
}

// A decoded picture, ready to encode.
class Picture {
public:
    virtual ~Picture() = default;
    virtual PixelSize size() const = 0;
};

// One image file's contents, from bytes or from a path. Only its header is
// read when it is made.
class ImageSource {
public:
    virtual ~ImageSource() = default;
    // The images the file holds (pages, frames); at least 1.
    virtual int imageCount() const = 0;
    // Image 0's pixel size as stored (before any orientation), from the header.
    virtual PixelSize pixelSize() const = 0;
    // A thumbnail of image 0; null when the image cannot be decoded.
    virtual std::unique_ptr<Picture> thumbnail(const ThumbnailOptions& options) const = 0;
};

// The JPEG quality of every picture the host renders: thumbnails, camera
// previews, video frames.
constexpr double kThumbnailJpegQuality = 0.8;

class Imaging {
public:
    virtual ~Imaging() = default;
    // Null when the bytes are not an image of a known format. The source
    // keeps the bytes.
    virtual std::unique_ptr<ImageSource> sourceWithData(std::vector<std::uint8_t> data) = 0;
    // Null when the file is missing, unreadable or not an image.
    virtual std::unique_ptr<ImageSource> sourceAtPath(const std::string& path) = 0;
    // A picture of 8-bit RGB pixels, rows top to bottom without padding; null
    // when the size does not match.
    virtual std::unique_ptr<Picture> pictureWithRGB(int width, int height, std::vector<std::uint8_t> rgb) = 0;
    // One baseline JPEG image with lossy quality `quality` (0 to 1); null when
    // encoding fails.
    virtual std::optional<std::vector<std::uint8_t>> jpegData(const Picture& picture, double quality) = 0;
};

}  // namespace lumivane
