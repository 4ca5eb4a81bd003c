#include "bridges/import/sparse_item.h"

#include <algorithm>

namespace lumivane {

namespace {

std::uint64_t bigEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

}  // namespace

std::optional<SparseItem> SparseItem::read(ImportSource& source, const ImportItem& item, const std::string& scratch,
                                           const std::string& name, std::size_t headBytes) {
    auto writer = FileWriter::create(scratch, name, 0600);
    if (!writer.ok()) return std::nullopt;
    SparseItem sparse(source, item, std::move(writer.value()));
    const Error enough{Error::Code::cancelled, "The head is read."};
    auto read = source.read(
        item,
        [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            auto part = std::min(size, headBytes - sparse.head_.size());
            if (auto written = sparse.writer_.write(data, part); !written.ok()) return written;
            sparse.head_.insert(sparse.head_.end(), data, data + part);
            if (sparse.head_.size() >= headBytes) return failure(enough);
            return {};
        },
        [] { return false; });
    if (!read.ok() && sparse.head_.size() < headBytes) return std::nullopt;
    return sparse;
}

std::optional<std::vector<std::uint8_t>> SparseItem::readPart(std::int64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes;
    auto got = source_->readAt(item_, offset, length, [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
        if (size > length - bytes.size()) return failure(Error("More than was asked."));
        bytes.insert(bytes.end(), data, data + size);
        return {};
    });
    if (!got.ok() || bytes.size() != length) return std::nullopt;
    return bytes;
}

std::optional<std::pair<std::int64_t, std::int64_t>> SparseItem::findBox(const char* type) {
    return findBox(head_, item_.size, type, [&](std::int64_t offset) {
        return readPart(offset, static_cast<std::size_t>(std::min<std::int64_t>(16, item_.size - offset)));
    });
}

std::optional<std::vector<std::uint8_t>> SparseItem::place(std::int64_t offset, std::int64_t length) {
    if (offset < 0 || length <= 0 || length > kMaxPartBytes || offset > item_.size - length) return std::nullopt;
    auto headSize = static_cast<std::int64_t>(head_.size());
    if (offset + length <= headSize)
        return std::vector<std::uint8_t>(head_.begin() + offset, head_.begin() + offset + length);
    auto bytes = readPart(offset, static_cast<std::size_t>(length));
    if (!bytes || !writer_.writeAt(offset, bytes->data(), bytes->size()).ok()) return std::nullopt;
    return bytes;
}

bool SparseItem::extend() { return writer_.extendTo(item_.size).ok(); }

std::optional<std::pair<std::int64_t, std::int64_t>> SparseItem::findBox(
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

}  // namespace lumivane
