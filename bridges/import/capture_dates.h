#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "bridges/common/import_source.h"
#include "bridges/import/item_copy.h"

namespace lumivane {

// When an item on a device was taken, for a client that shows dates before
// anything is imported: the item's first bytes (where a photo keeps its EXIF
// and some videos their index) are read into a private temporary in
// `scratch` and asked as a copy would be. Reading a head, not the whole item,
// keeps a screenful of a phone's photos quick. A video whose index ("moov")
// comes after its media, as cameras write them, has that index read where
// it lies, on a device that can start a read anywhere, and put at the same
// place in the temporary (the bytes between stay a hole).
//
// Any thread, several at once (each call has its own temporary).
class CaptureDates {
public:
    static constexpr std::size_t kHeadBytes = 256u << 10;

    CaptureDates(ItemCopy::Services services, std::string scratch)
        : services_(services), scratch_(std::move(scratch)) {}

    // The capture time in seconds since 1970 UTC; none when the head does not
    // tell it (then the file's own time is the best there is) or the item
    // cannot be read.
    std::optional<std::int64_t> of(ImportSource& source, const ImportItem& item) const;

private:
    ItemCopy::Services services_;
    std::string scratch_;
};

}  // namespace lumivane
