#include "bridges/import/item_preview.h"

#include "bridges/common/jpeg_thumbnail.h"
#include "bridges/import/item_copy.h"
#include "bridges/import/sparse_item.h"
#include "platform/common/media_types.h"

namespace lumivane {

namespace {

// Where a video's frame is taken: past a first frame that may be black.
constexpr double kFrameSeconds = 0.5;

}  // namespace

std::optional<Bytes> ItemPreview::videoFrame(ImportSource& source, const ImportItem& item, int px) const {
    auto extension = ItemCopy::splitExtension(ItemCopy::baseName(item.path)).second;
    auto sparse = SparseItem::read(source, item, scratch_, "frame." + extension, kVideoHeadBytes);
    if (!sparse) return std::nullopt;
    if (!sparse->whole()) {
        // An index after the media (as cameras and phones write it) is read where it lies.
        auto index = sparse->findBox("moov");
        if (!index || !sparse->place(index->first, index->second) || !sparse->extend()) return std::nullopt;
    }
    auto frame = videos_.frame(sparse->path(), {kFrameSeconds, px, {}, {}});
    if (!frame) return std::nullopt;
    return imaging_.jpegData(*frame, kThumbnailJpegQuality);
}

Result<std::optional<Bytes>> ItemPreview::render(ImportSource& source, const ImportItem& item, int px) const {
    if (px <= 0) return std::optional<Bytes>();
    if (isVideoFileName(ItemCopy::baseName(item.path))) return videoFrame(source, item, px);
    if (item.size > std::int64_t{kSourceLimit}) return std::optional<Bytes>();
    Bytes bytes;
    if (item.size > 0) bytes.reserve(static_cast<std::size_t>(item.size));
    bool tooLarge = false;
    auto read = source.read(
        item,
        [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            if (size > kSourceLimit - bytes.size()) {
                tooLarge = true;
                return failure(Error{Error::Code::cancelled, "Larger than a preview reads."});
            }
            bytes.insert(bytes.end(), data, data + size);
            return {};
        },
        [] { return false; });
    if (tooLarge) return std::optional<Bytes>();
    if (!read.ok()) return failure(read.error());
    auto picture = imaging_.sourceWithData(std::move(bytes));
    if (!picture) return std::optional<Bytes>();
    if (auto whole = jpegThumbnail(imaging_, *picture, ThumbnailFrom::imageAlways, px)) return whole;
    return jpegThumbnail(imaging_, *picture, ThumbnailFrom::embeddedIfPresent, px);
}

}  // namespace lumivane
