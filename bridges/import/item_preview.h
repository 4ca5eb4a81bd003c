#pragma once
#include <cstddef>
#include <optional>
#include <string>

#include "bridges/common/import_source.h"
#include "channel/encodable_value.h"
#include "platform/imaging.h"
#include "platform/video_frames.h"

namespace lumivane {

// "import.preview": a large JPEG of one still image on a device, rendered
// from the item itself (not from the small rendering a phone or a camera
// keeps), for a full-screen look before importing. The item is read whole
// into memory, so one larger than `kSourceLimit` gives nothing, as do
// files that do not decode; only a failing read is an error. A RAW file that
// its decoder cannot develop gives its embedded preview.
//
// A video gives a frame from half a second in, for a device that keeps no
// rendering of it: only its first `kVideoHeadBytes` are read, and its index
// where it lies when it comes after the media, into a sparse temporary in
// `scratch`. A video whose frame is not in that part gives nothing.
//
// Any thread (the reading blocks on the device).
class ItemPreview {
public:
    static constexpr std::size_t kSourceLimit = 64u << 20;
    static constexpr std::size_t kVideoHeadBytes = 8u << 20;

    ItemPreview(Imaging& imaging, VideoFrames& videos, std::string scratch)
        : imaging_(imaging), videos_(videos), scratch_(std::move(scratch)) {}

    // Its longer edge at most `px`, never scaled up.
    Result<std::optional<Bytes>> render(ImportSource& source, const ImportItem& item, int px) const;

private:
    std::optional<Bytes> videoFrame(ImportSource& source, const ImportItem& item, int px) const;

    Imaging& imaging_;
    VideoFrames& videos_;
    std::string scratch_;
};

}  // namespace lumivane
