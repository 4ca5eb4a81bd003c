#pragma once
#include <cstddef>
#include <optional>

#include "bridges/common/import_source.h"
#include "channel/encodable_value.h"
#include "platform/imaging.h"

namespace lumivane {

// "import.preview": a large JPEG of one still image on a device, rendered
// from the item itself (not from the small rendering a phone or a camera
// keeps), for a full-screen look before importing. The item is read whole
// into memory, so one larger than `kSourceLimit` gives nothing, as do
// videos and files that do not decode; only a failing read is an error. A
// RAW file that its decoder cannot develop gives its embedded preview.
//
// Any thread (the reading blocks on the device).
class ItemPreview {
public:
    static constexpr std::size_t kSourceLimit = 64u << 20;

    explicit ItemPreview(Imaging& imaging) : imaging_(imaging) {}

    // Its longer edge at most `px`, never scaled up.
    Result<std::optional<Bytes>> render(ImportSource& source, const ImportItem& item, int px) const;

private:
    Imaging& imaging_;
};

}  // namespace lumivane
