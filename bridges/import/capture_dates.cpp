#include "bridges/import/capture_dates.h"

#include <algorithm>

#include "bridges/import/heif_exif.h"
#include "platform/common/media_types.h"
#include "runtime/file_writer.h"

namespace lumivane {

namespace {

std::uint64_t bigEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

}  // namespace

std::optional<std::pair<std::int64_t, std::int64_t>> CaptureDates::findBox(
    const std::vector<std::uint8_t>& head, std::int64_t fileSize, const char* type,
    const std::function<std::optional<std::vector<std::uint8_t>>(std::int64_t offset)>& headerAt) {
    std::int64_t at = 0;
    for (int box = 0; box < kMaxBoxes && at + 8 <= fileSize; ++box) {
        std::vector<std::uint8_t> header;
        if (at + 16 <= static_cast<std::int64_t>(head.size())) {
            header.assign(head.begin() + at, head.begin() + at + 16);
        } else if (auto read = headerAt(at)) {
            header = std::move(*read);
        } else {
            return std::nullopt;
        }
        if (header.size() < 8) return std::nullopt;
        std::uint64_t size = bigEndian(header.data(), 4);
        if (size == 1) {  // a 64-bit size follows the type
            if (header.size() < 16) return std::nullopt;
            size = bigEndian(header.data() + 8, 8);
        } else if (size == 0) {  // the box runs to the end of the file
            size = static_cast<std::uint64_t>(fileSize - at);
        }
        if (size < 8 || size > static_cast<std::uint64_t>(fileSize - at)) return std::nullopt;
        if (std::equal(header.begin() + 4, header.begin() + 8, type))
            return std::pair{at, static_cast<std::int64_t>(size)};
        at += static_cast<std::int64_t>(size);
    }
    return std::nullopt;
}

std::optional<std::int64_t> CaptureDates::of(ImportSource& source, const ImportItem& item) const {
    auto name = ItemCopy::baseName(item.path);
    auto extension = ItemCopy::splitExtension(name).second;
    auto writer = FileWriter::create(scratch_, "head" + (extension.empty() ? "" : "." + extension), 0600);
    if (!writer.ok()) return std::nullopt;
    bool video = isVideoFileName(name), heif = isHeifFileName(name);
    std::vector<std::uint8_t> head;  // kept where boxes may have to be walked from it
    std::size_t got = 0;
    const Error enough{Error::Code::cancelled, "The head is read."};
    auto read = source.read(
        item,
        [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            auto part = std::min(size, kHeadBytes - got);
            if (auto written = writer.value().write(data, part); !written.ok()) return written;
            if (video || heif) head.insert(head.end(), data, data + part);
            got += part;
            if (got >= kHeadBytes) return failure(enough);
            return {};
        },
        [] { return false; });
    if (!read.ok() && got < kHeadBytes) return std::nullopt;
    const auto& path = writer.value().temporaryPath();
    auto timeOf = [&] { return video ? services_.videos.creationTime(path) : services_.photos.captureTime(path); };
    auto time = timeOf();
    if (time || (!video && !heif) || item.size <= static_cast<std::int64_t>(head.size())) return time;

    // What the date needs lies past the head: read it where it is, into the
    // same place of a temporary as long as the item (the bytes between stay a hole).
    auto headSize = static_cast<std::int64_t>(head.size());
    auto readPart = [&](std::int64_t offset, std::size_t length) -> std::optional<std::vector<std::uint8_t>> {
        std::vector<std::uint8_t> bytes;
        auto got = source.readAt(item, offset, length, [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            if (size > length - bytes.size()) return failure(Error("More than was asked."));
            bytes.insert(bytes.end(), data, data + size);
            return {};
        });
        if (!got.ok() || bytes.size() != length) return std::nullopt;
        return bytes;
    };
    // The part [offset, offset + length) of the item, from the head where it holds it.
    auto place = [&](std::int64_t offset, std::int64_t length) -> std::optional<std::vector<std::uint8_t>> {
        if (offset < 0 || length <= 0 || length > kMaxIndexBytes || offset > item.size - length) return std::nullopt;
        if (offset + length <= headSize)
            return std::vector<std::uint8_t>(head.begin() + offset, head.begin() + offset + length);
        auto bytes = readPart(offset, static_cast<std::size_t>(length));
        if (!bytes || !writer.value().writeAt(offset, bytes->data(), bytes->size()).ok()) return std::nullopt;
        return bytes;
    };
    auto box = findBox(head, item.size, video ? "moov" : "meta", [&](std::int64_t offset) {
        return readPart(offset, static_cast<std::size_t>(std::min<std::int64_t>(16, item.size - offset)));
    });
    if (!box) return std::nullopt;
    if (video && box->first < headSize) return std::nullopt;  // the head held it, and it told nothing
    auto bytes = place(box->first, box->second);
    if (!bytes) return std::nullopt;
    if (heif) {
        auto extents = heifExifExtents(bytes->data(), bytes->size());
        if (extents.empty()) return std::nullopt;
        for (const auto& extent : extents)
            if (!place(extent.offset, extent.length)) return std::nullopt;
    }
    if (!writer.value().extendTo(item.size).ok()) return std::nullopt;
    return timeOf();
}

}  // namespace lumivane
