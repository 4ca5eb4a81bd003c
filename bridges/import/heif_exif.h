#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumivane {

// Where a HEIF file (HEIC, AVIF) keeps its EXIF block: the extents that the
// item location box of its "meta" box gives for the item of type "Exif".
// Writers may put that block anywhere in the file, often after the picture's
// data, so a reader of a file's head needs these to fetch it. Only extents
// that lie in the file itself count (not in the meta box's own data or
// another file); anything malformed, oversized or too many gives none.
//
// Pure: any thread.
struct FileExtent {
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

constexpr int kMaxExifExtents = 16;
constexpr std::int64_t kMaxExifBytes = 4 << 20;

// `meta` is the whole top-level "meta" box, its header included.
std::vector<FileExtent> heifExifExtents(const std::uint8_t* meta, std::size_t size);

}  // namespace lumivane
