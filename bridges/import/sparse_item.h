#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridges/common/import_source.h"
#include "runtime/file_writer.h"

namespace lumivane {

// Part of a device's item in a private temporary, for a reader that wants a
// file but not the whole item (a date, a video's first frame): the item's
// head, and any part past it read where it lies, on a device that can start
// a read anywhere, and put at the same place (the bytes between stay a
// hole). The temporary goes with this object.
//
// Any thread; one object per reader.
class SparseItem {
public:
    // The largest part read past the head, and how many of the container's
    // top-level boxes are walked to find one.
    static constexpr std::int64_t kMaxPartBytes = 32 << 20;
    static constexpr int kMaxBoxes = 64;

    // The first `headBytes` of `item` (or all of a smaller one), in a new
    // temporary named like `name` in `scratch`; none when the temporary
    // cannot be made or the read fails before the head is whole.
    static std::optional<SparseItem> read(ImportSource& source, const ImportItem& item, const std::string& scratch,
                                          const std::string& name, std::size_t headBytes);

    std::string path() const { return writer_.temporaryPath(); }
    const std::vector<std::uint8_t>& head() const { return head_; }
    // Whether the head is the whole item.
    bool whole() const { return item_.size <= static_cast<std::int64_t>(head_.size()); }

    // Where the top-level box `type` of an ISO media file (MP4, QuickTime,
    // HEIF) lies, {offset, size}: the boxes are walked from the start, their
    // headers read from the head where it holds them and from the device
    // beyond it.
    std::optional<std::pair<std::int64_t, std::int64_t>> findBox(const char* type);
    // Puts [offset, offset + length) of the item in place, from the head or
    // from the device (at most kMaxPartBytes); its bytes, or none.
    std::optional<std::vector<std::uint8_t>> place(std::int64_t offset, std::int64_t length);
    // Makes the temporary as long as the item, so a reader finds the parts
    // placed where their offsets say.
    bool extend();

    // The walk findBox() makes, over a head and a reader of 16 bytes at an offset.
    static std::optional<std::pair<std::int64_t, std::int64_t>> findBox(
        const std::vector<std::uint8_t>& head, std::int64_t fileSize, const char* type,
        const std::function<std::optional<std::vector<std::uint8_t>>(std::int64_t offset)>& headerAt);

private:
    SparseItem(ImportSource& source, ImportItem item, FileWriter writer)
        : source_(&source), item_(std::move(item)), writer_(std::move(writer)) {}
    std::optional<std::vector<std::uint8_t>> readPart(std::int64_t offset, std::size_t length);

    ImportSource* source_;
    ImportItem item_;
    FileWriter writer_;  // never committed: its temporary is removed with it
    std::vector<std::uint8_t> head_;
};

}  // namespace lumivane
