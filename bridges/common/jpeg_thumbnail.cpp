#include "bridges/common/jpeg_thumbnail.h"

namespace lumivane {

std::optional<Bytes> jpegThumbnail(Imaging& imaging, const ImageSource& source, ThumbnailFrom from, int px) {
    auto picture = source.thumbnail({from, px, true});
    if (!picture) return std::nullopt;
    return imaging.jpegData(*picture, kThumbnailJpegQuality);
}

std::optional<Bytes> jpegThumbnail(Imaging& imaging, Bytes bytes, ThumbnailFrom from, int px) {
    auto source = imaging.sourceWithData(std::move(bytes));
    if (!source) return std::nullopt;
    return jpegThumbnail(imaging, *source, from, px);
}

}  // namespace lumivane
