#include "platform/libraw/raw_preview_imaging.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <string_view>

#include "runtime/read_file.h"

namespace lumivane {

bool RawPreviewImaging::isRawName(const std::string& name) {
    static constexpr std::array<std::string_view, 24> kExtensions{
        "3fr", "arw", "cr2", "cr3", "crw", "dcr", "dng", "erf", "iiq", "k25", "kdc", "mef",
        "mos", "mrw", "nef", "nrw", "orf", "pef", "raf", "raw", "rw2", "rwl", "sr2", "srw"};
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot + 1);
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

std::optional<std::vector<std::uint8_t>> RawPreviewImaging::embeddedPreview(const std::string& path) {
    // Opened through the file checked, so a name swapped for a FIFO or a
    // device meanwhile cannot wedge the reader.
    auto file = RegularFile::open(path);
    if (!file) return std::nullopt;
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    if (raw->open_file(file->path().c_str()) != LIBRAW_SUCCESS || raw->unpack_thumb() != LIBRAW_SUCCESS)
        return std::nullopt;
    const auto& thumbnail = raw->imgdata.thumbnail;
    if (thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG || !thumbnail.thumb || thumbnail.tlength == 0 ||
        thumbnail.tlength > kMaxPreviewBytes)
        return std::nullopt;
    auto* bytes = reinterpret_cast<const std::uint8_t*>(thumbnail.thumb);
    return std::vector<std::uint8_t>(bytes, bytes + thumbnail.tlength);
}

std::unique_ptr<ImageSource> RawPreviewImaging::sourceAtPath(const std::string& path) {
    if (isRawName(path))
        if (auto preview = embeddedPreview(path))
            if (auto source = inner_.sourceWithData(std::move(*preview))) return source;
    return inner_.sourceAtPath(path);
}

}  // namespace lumivane
