#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/environment.h"
#include "platform/user_defaults.h"
#include "runtime/log.h"

namespace lumivane {

// Copies, once, what an earlier sandboxed build left in its container: the
// interface's "flutter." preferences (only while the current preferences hold
// none) and the database "lumivane.db" (only while none exists at the
// destination). Never fails visibly: each missing piece ends it quietly, and
// preferences it cannot read or store are skipped with one log line.
// The database is copied to a temporary file beside the destination and
// linked into place, so an interrupted copy never leaves a truncated
// "lumivane.db" behind, and a database that appeared meanwhile is never
// replaced. Main thread, at start-up.
void moveLegacyData(const Environment& environment, UserDefaults& defaults, Log& log);

// The "flutter." preferences of an earlier build's preferences file, as
// defaults values, and the keys whose values cannot be stored (text that is
// not UTF-8). Absent when the file is no readable property-list dictionary.
// Any thread.
struct LegacyPreferences {
    std::vector<std::pair<std::string, nlohmann::json>> values;
    std::vector<std::string> skipped;
};
std::optional<LegacyPreferences> readLegacyPreferences(std::string_view file);

}  // namespace lumivane
