// An earlier build's preferences file: whatever it holds, reading it never
// crashes, and every value it yields can be stored in the user defaults.
#include "app/legacy_data_move.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto preferences = readLegacyPreferences(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!preferences) return 0;
    for (const auto& [key, value] : preferences->values) {
        nlohmann::json stored;
        stored[key] = value;
        (void)stored.dump();  // the user defaults file: throws on text it cannot hold
    }
    return 0;
}
