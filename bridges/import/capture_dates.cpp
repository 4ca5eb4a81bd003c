#include "bridges/import/capture_dates.h"

#include <algorithm>

#include "bridges/import/heif_exif.h"
#include "bridges/import/sparse_item.h"
#include "platform/common/media_types.h"

namespace lumivane {

std::optional<std::int64_t> CaptureDates::of(ImportSource& source, const ImportItem& item) const {
    auto name = ItemCopy::baseName(item.path);
    auto extension = ItemCopy::splitExtension(name).second;
    auto sparse =
        SparseItem::read(source, item, scratch_, "head" + (extension.empty() ? "" : "." + extension), kHeadBytes);
    if (!sparse) return std::nullopt;
    bool video = isVideoFileName(name), heif = isHeifFileName(name);
    auto path = sparse->path();
    auto timeOf = [&] { return video ? services_.videos.creationTime(path) : services_.photos.captureTime(path); };
    auto time = timeOf();
    if (time || (!video && !heif) || sparse->whole()) return time;

    // What the date needs lies past the head: read it where it is.
    auto box = sparse->findBox(video ? "moov" : "meta");
    if (!box) return std::nullopt;
    if (video && box->first < static_cast<std::int64_t>(sparse->head().size()))
        return std::nullopt;  // the head held it, and it told nothing
    auto bytes = sparse->place(box->first, box->second);
    if (!bytes) return std::nullopt;
    if (heif) {
        auto extents = heifExifExtents(bytes->data(), bytes->size());
        if (extents.empty()) return std::nullopt;
        for (const auto& extent : extents)
            if (!sparse->place(extent.offset, extent.length)) return std::nullopt;
    }
    if (!sparse->extend()) return std::nullopt;
    return timeOf();
}

}  // namespace lumivane
