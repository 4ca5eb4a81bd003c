#pragma once
#include "platform/photo_metadata.h"

namespace lumivane {

// Photo metadata through Exiv2, the same on every platform: JPEG, HEIC
// (and CR3) through its ISO base media file reader, TIFF and the TIFF-based
// RAW formats (DNG, CR2, NEF, ARW, ORF, RW2, PEF). Exiv2's own messages are
// muted; a file it cannot read has no date.
//
// Thread-safe; see `PhotoMetadata`.
class Exiv2PhotoMetadata final : public PhotoMetadata {
public:
    Exiv2PhotoMetadata();
    std::optional<std::int64_t> captureTime(const std::string& path) override;
    std::optional<std::string> rated(const std::string& packet, PhotoRating rating) override;
};

}  // namespace lumivane
