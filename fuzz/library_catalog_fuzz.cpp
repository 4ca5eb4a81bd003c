// A folder library's "library.json" as found on disk: parsing never crashes,
// every identifier is listed once and indexed where it sits, and no file
// named by the listing leads out of the library folder.
#include <cstdlib>

#include "platform/common/library_catalog.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = parseLibraryCatalog(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    const auto& catalog = parsed.value();
    if (catalog.index.size() != catalog.assets.size()) std::abort();
    for (const auto& asset : catalog.assets) {
        if (catalog.find(asset.asset.localIdentifier) != &asset) std::abort();
        for (const auto& resource : asset.resources) {
            const auto& file = resource.file;
            if (!file.empty() && (file.front() == '/' || file == ".." || file.starts_with("../") ||
                                  file.ends_with("/..") || file.find("/../") != std::string::npos))
                std::abort();
        }
    }
    return 0;
}
