// The kernel's mount table as read from /proc: parsing never crashes, keeps
// at most one entry a line, and the filters take any entry it keeps.
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "platform/linux/mount_table.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto entries = parseMountInfo(std::string_view(reinterpret_cast<const char*>(data), size));
    auto lines = std::count(data, data + size, '\n') + 1;
    if (std::ptrdiff_t(entries.size()) > lines) std::abort();
    for (const auto& entry : entries) {
        (void)isShownVolume(entry);
        if (auto url = remountURL(entry); url && url->find("://") == std::string::npos) std::abort();
    }
    return 0;
}
