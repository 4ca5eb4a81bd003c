#include "bridges/import/heif_exif.h"

#include <cstring>
#include <optional>

namespace lumivane {

namespace {

// Big-endian fields read from a bounded span; any read past its end fails
// the reader for good.
class Fields {
public:
    Fields(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::optional<std::uint64_t> take(std::size_t bytes) {
        if (!ok_ || bytes > size_ - at_) {
            ok_ = false;
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | data_[at_ + i];
        at_ += bytes;
        return value;
    }
    bool skip(std::size_t bytes) {
        if (!ok_ || bytes > size_ - at_) return ok_ = false;
        at_ += bytes;
        return true;
    }
    std::size_t at() const { return at_; }
    std::size_t left() const { return size_ - at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_, at_ = 0;
    bool ok_ = true;
};

struct Box {
    const std::uint8_t* body = nullptr;  // after the header
    std::size_t bodySize = 0;
    char type[4] = {};
};

// The box at the start of `data`, which must hold it whole.
std::optional<Box> boxAt(const std::uint8_t* data, std::size_t size) {
    Fields fields(data, size);
    auto length = fields.take(4);
    auto type = fields.take(4);
    if (!length || !type) return std::nullopt;
    std::uint64_t whole = *length;
    if (whole == 1) {
        auto large = fields.take(8);
        if (!large) return std::nullopt;
        whole = *large;
    } else if (whole == 0) {
        whole = size;
    }
    if (whole < fields.at() || whole > size) return std::nullopt;
    Box box;
    std::memcpy(box.type, data + 4, 4);
    box.body = data + fields.at();
    box.bodySize = static_cast<std::size_t>(whole) - fields.at();
    return box;
}

// Calls `each` for every box laid end to end in `data`; false when one does
// not fit.
template <typename Each>
bool forEachBox(const std::uint8_t* data, std::size_t size, Each each) {
    for (std::size_t at = 0; at < size;) {
        auto box = boxAt(data + at, size - at);
        if (!box) return false;
        each(*box);
        at = static_cast<std::size_t>(box->body + box->bodySize - data);
    }
    return true;
}

// The id of the item of type "Exif" in an item information box.
std::optional<std::uint32_t> exifItem(const Box& iinf) {
    Fields fields(iinf.body, iinf.bodySize);
    auto version = fields.take(1);
    if (!version || !fields.skip(3) || !fields.skip(*version == 0 ? 2 : 4)) return std::nullopt;
    std::optional<std::uint32_t> found;
    bool whole = forEachBox(iinf.body + fields.at(), fields.left(), [&](const Box& entry) {
        if (found || std::memcmp(entry.type, "infe", 4) != 0) return;
        Fields infe(entry.body, entry.bodySize);
        auto entryVersion = infe.take(1);
        if (!entryVersion || *entryVersion < 2 || !infe.skip(3)) return;
        auto id = infe.take(*entryVersion == 2 ? 2 : 4);
        if (!id || !infe.skip(2) || infe.left() < 4) return;
        if (std::memcmp(entry.body + infe.at(), "Exif", 4) == 0) found = static_cast<std::uint32_t>(*id);
    });
    return whole ? found : std::nullopt;
}

bool validFieldSize(std::uint64_t size) { return size == 0 || size == 4 || size == 8; }

// The file extents of item `id` in an item location box.
std::vector<FileExtent> extentsOf(const Box& iloc, std::uint32_t id) {
    Fields fields(iloc.body, iloc.bodySize);
    auto version = fields.take(1);
    if (!version || *version > 2 || !fields.skip(3)) return {};
    auto sizes = fields.take(1), moreSizes = fields.take(1);
    if (!sizes || !moreSizes) return {};
    std::uint64_t offsetSize = *sizes >> 4, lengthSize = *sizes & 15, baseSize = *moreSizes >> 4;
    std::uint64_t indexSize = *version == 0 ? 0 : *moreSizes & 15;
    if (!validFieldSize(offsetSize) || !validFieldSize(lengthSize) || !validFieldSize(baseSize) ||
        !validFieldSize(indexSize))
        return {};
    auto count = fields.take(*version < 2 ? 2 : 4);
    if (!count) return {};
    for (std::uint64_t item = 0; item < *count; ++item) {
        auto itemId = fields.take(*version < 2 ? 2 : 4);
        std::optional<std::uint64_t> method = 0;
        if (*version > 0) method = fields.take(2);
        auto reference = fields.take(2), base = fields.take(baseSize), extentCount = fields.take(2);
        if (!itemId || !method || !reference || !base || !extentCount) return {};
        bool wanted = *itemId == id;
        if (wanted && ((*method & 15) != 0 || *reference != 0 || *extentCount == 0 || *extentCount > kMaxExifExtents))
            return {};  // kept in the meta box's data or elsewhere, or too scattered to fetch
        std::vector<FileExtent> extents;
        std::int64_t total = 0;
        for (std::uint64_t e = 0; e < *extentCount; ++e) {
            if (!fields.skip(indexSize)) return {};
            auto offset = fields.take(offsetSize), length = fields.take(lengthSize);
            if (!offset || !length) return {};
            if (!wanted) continue;
            // A length of 0 means "to the end of the file": not something to fetch blind.
            if (*length == 0 || *length > kMaxExifBytes || *offset > INT64_MAX / 2 || *base > INT64_MAX / 2) return {};
            total += static_cast<std::int64_t>(*length);
            if (total > kMaxExifBytes) return {};
            extents.push_back({static_cast<std::int64_t>(*base + *offset), static_cast<std::int64_t>(*length)});
        }
        if (wanted) return extents;
    }
    return {};
}

}  // namespace

std::vector<FileExtent> heifExifExtents(const std::uint8_t* meta, std::size_t size) {
    auto box = boxAt(meta, size);
    if (!box || std::memcmp(box->type, "meta", 4) != 0 || box->bodySize < 4) return {};
    std::optional<Box> iinf, iloc;
    bool whole = forEachBox(box->body + 4, box->bodySize - 4, [&](const Box& child) {
        if (!iinf && std::memcmp(child.type, "iinf", 4) == 0) iinf = child;
        if (!iloc && std::memcmp(child.type, "iloc", 4) == 0) iloc = child;
    });
    if (!whole || !iinf || !iloc) return {};
    auto id = exifItem(*iinf);
    return id ? extentsOf(*iloc, *id) : std::vector<FileExtent>{};
}

}  // namespace lumivane
