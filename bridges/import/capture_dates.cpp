#include "bridges/import/capture_dates.h"

#include <algorithm>

#include "platform/common/media_types.h"
#include "runtime/file_writer.h"

namespace lumivane {

std::optional<std::int64_t> CaptureDates::of(ImportSource& source, const ImportItem& item) const {
    auto extension = ItemCopy::splitExtension(ItemCopy::baseName(item.path)).second;
    auto writer = FileWriter::create(scratch_, "head" + (extension.empty() ? "" : "." + extension), 0600);
    if (!writer.ok()) return std::nullopt;
    std::size_t taken = 0;
    const Error enough{Error::Code::cancelled, "The head is read."};
    auto read = source.read(
        item,
        [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            auto part = std::min(size, kHeadBytes - taken);
            if (auto written = writer.value().write(data, part); !written.ok()) return written;
            taken += part;
            if (taken >= kHeadBytes) return failure(enough);
            return {};
        },
        [] { return false; });
    if (!read.ok() && taken < kHeadBytes) return std::nullopt;
    const auto& path = writer.value().temporaryPath();
    return isVideoFileName(ItemCopy::baseName(item.path)) ? services_.videos.creationTime(path)
                                                          : services_.photos.captureTime(path);
}

}  // namespace lumivane
