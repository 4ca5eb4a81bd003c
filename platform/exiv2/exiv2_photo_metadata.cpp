#include "platform/exiv2/exiv2_photo_metadata.h"

#include <libheif/heif.h>
#include <exiv2/exiv2.hpp>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/capture_time.h"
#include "platform/common/media_types.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

std::string tag(const Exiv2::ExifData& exif, const char* key) {
    auto found = exif.findKey(Exiv2::ExifKey(key));
    return found == exif.end() ? std::string() : found->toString();
}

std::optional<std::int64_t> fromExif(const Exiv2::ExifData& exif) {
    auto date = tag(exif, "Exif.Photo.DateTimeOriginal");
    if (date.empty()) return std::nullopt;
    return parseExifDateTime(date, tag(exif, "Exif.Photo.OffsetTimeOriginal"));
}

// A HEIF file's EXIF block through libheif (this Exiv2 does not find it in
// every HEIC writer's layout): the block starts with the offset of its TIFF
// header, which Exiv2 then decodes.
std::optional<std::int64_t> fromHeif(const std::string& path) {
    std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
    if (!context || heif_context_read_from_file(context.get(), path.c_str(), nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* raw = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &raw).code != heif_error_Ok) return std::nullopt;
    std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> handle(raw, heif_image_handle_release);
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1) return std::nullopt;
    std::size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    if (size < 4 || size > (std::size_t{64} << 20)) return std::nullopt;
    std::vector<std::uint8_t> block(size);
    if (heif_image_handle_get_metadata(handle.get(), id, block.data()).code != heif_error_Ok) return std::nullopt;
    std::uint32_t offset = (std::uint32_t{block[0]} << 24) | (block[1] << 16) | (block[2] << 8) | block[3];
    if (offset > size - 4) return std::nullopt;
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, block.data() + 4 + offset, static_cast<std::uint32_t>(size - 4 - offset));
    return fromExif(exif);
}

}  // namespace

Exiv2PhotoMetadata::Exiv2PhotoMetadata() {
    // Once per process: Exiv2's XMP parser must be set up before threads use
    // it, and the ISO base media reader (HEIC, CR3) is off until enabled.
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        Exiv2::enableBMFF(true);
    });
}

std::optional<std::int64_t> Exiv2PhotoMetadata::captureTime(const std::string& path) {
    // Opened through the file checked, so a name swapped meanwhile for a FIFO
    // or a device cannot wedge the reader.
    auto file = RegularFile::open(path);
    if (!file) return std::nullopt;
    try {
        if (isHeifFileName(path))
            if (auto found = fromHeif(file->path())) return found;
        auto image = Exiv2::ImageFactory::open(file->path());
        if (!image.get()) return std::nullopt;
        image->readMetadata();
        return fromExif(image->exifData());
    } catch (...) {  // Exiv2 throws for every file it cannot read
        return std::nullopt;
    }
}

std::optional<std::string> Exiv2PhotoMetadata::rated(const std::string& packet, PhotoRating rating) {
    // Exiv2's XMP parser shares state between threads: one packet at a time.
    static std::mutex xmp;
    std::lock_guard guard(xmp);
    try {
        Exiv2::XmpData data;
        if (!packet.empty() && Exiv2::XmpParser::decode(data, packet) != 0) return std::nullopt;
        // A reject is a rating of -1 to the tools that know no pick flag.
        if (rating.pick < 0)
            data["Xmp.xmp.Rating"] = -1;
        else if (rating.stars > 0)
            data["Xmp.xmp.Rating"] = rating.stars;
        if (rating.pick != 0) data["Xmp.xmpDM.pick"] = rating.pick;
        std::string out;
        // A sidecar is a file of its own: no packet wrapper, and no padding for in-place edits.
        if (Exiv2::XmpParser::encode(out, data,
                                     Exiv2::XmpParser::useCompactFormat | Exiv2::XmpParser::omitPacketWrapper) != 0)
            return std::nullopt;
        return out;
    } catch (...) {  // Exiv2 throws for what it cannot parse
        return std::nullopt;
    }
}

}  // namespace lumivane
