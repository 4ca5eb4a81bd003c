// A phone's stat cache file as found on disk: decoding never crashes, and
// what decodes survives a save and a reload unchanged.
#include <cstdlib>

#include "bridges/iphone/stat_cache.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = StatCache::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded) return 0;
    auto again = StatCache::decode(StatCache::encode(*decoded));
    if (!again || *again != *decoded) std::abort();
    return 0;
}
