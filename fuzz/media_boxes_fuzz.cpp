// A video's top-level boxes as a device's file gives them: the walk that
// finds its index never crashes, reads only inside the file, and answers a
// box that lies inside it. The same bytes as a HEIF meta box: the EXIF
// extents it gives stay within their bounds.
#include <cstdlib>
#include <vector>

#include "bridges/import/heif_exif.h"
#include "bridges/import/sparse_item.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte says how much of the file the head holds.
    if (size == 0) return 0;
    std::size_t headSize = std::min<std::size_t>(data[0], size - 1);
    const std::uint8_t* file = data + 1;
    auto fileSize = static_cast<std::int64_t>(size - 1);
    std::vector<std::uint8_t> head(file, file + headSize);
    int reads = 0;
    auto found = SparseItem::findBox(head, fileSize, "moov", [&](std::int64_t offset) {
        if (offset < 0 || offset >= fileSize || ++reads > SparseItem::kMaxBoxes) std::abort();
        auto end = std::min<std::int64_t>(offset + 16, fileSize);
        return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>(file + offset, file + end));
    });
    if (found && (found->first < 0 || found->second < 8 || found->first + found->second > fileSize)) std::abort();
    auto extents = heifExifExtents(file, static_cast<std::size_t>(fileSize));
    std::int64_t total = 0;
    for (const auto& extent : extents) {
        if (extent.offset < 0 || extent.length <= 0) std::abort();
        total += extent.length;
    }
    if (extents.size() > kMaxExifExtents || total > kMaxExifBytes) std::abort();
    return 0;
}
