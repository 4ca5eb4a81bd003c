// A picture as a phone, a camera or a card hands it over: the imaging layer
// gives a thumbnail within its bound or nothing, and never crashes.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "bridges/common/jpeg_thumbnail.h"
#include "platform/vips/vips_imaging.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static VipsImaging imaging;
    auto source = imaging.sourceWithData(std::vector<std::uint8_t>(data, data + size));
    if (!source) return 0;
    if (source->imageCount() < 1) std::abort();
    for (auto from : {ThumbnailFrom::embeddedIfPresent, ThumbnailFrom::imageAlways}) {
        auto picture = source->thumbnail({from, 48, true});
        if (!picture) continue;
        auto size = picture->size();
        if (size.width < 1 || size.height < 1 || std::max(size.width, size.height) > 48) std::abort();
        if (!imaging.jpegData(*picture, 0.8)) std::abort();
    }
    return 0;
}
