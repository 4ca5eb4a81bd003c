#pragma once
#include <string>

#include "bridges/import/import_request.h"
#include "channel/encodable_value.h"
#include "runtime/result.h"

namespace lumivane {

// The import options a person chose last (destination, backup, templates,
// "only new"...), remembered for every client in "import-settings.json" in
// the data folder, so a page that reloads or another client starts from them.
// Beside them: the shoot names given last (the newest first, a short list to
// choose from again), and per device (by its kind and identity) the names it
// imports under: its folder and file templates and its clock's shift.
//
// Any thread: each call reads or replaces the whole file. Writes (each a
// read, a change and a rewrite) must not overlap: the owner makes them one at
// a time.
class ImportSettings {
public:
    static constexpr const char* kFile = "import-settings.json";
    static constexpr std::size_t kShoots = 8;    // shoot names kept
    static constexpr std::size_t kPresets = 64;  // devices with names of their own
    // Bounded as a request takes them.
    static constexpr int kMaxClockShift = ImportRequest::kMaxClockShift;

    explicit ImportSettings(std::string path) : path_(std::move(path)) {}

    // What is remembered, "shoots" among it; an empty map when nothing is
    // (or the file is not ours).
    EncodableMap load() const;
    // Remembers `settings` over what was remembered: only the known keys,
    // each of its own type and bounded; anything else is refused and nothing
    // changes. A "shoot" goes to the front of "shoots".
    Result<void> remember(const EncodableMap& settings) const;

    // The names device `device` ("kind:identity") imports under:
    // "subfolders", "rename", "clockShift", those kept; empty when none are.
    EncodableMap preset(const std::string& device) const;
    // Keeps `preset` (those keys only, bounded) as the device's, in place of
    // what it had; an empty one forgets it. Refused, changing nothing, for
    // any other key or when as many devices as kPresets have theirs.
    Result<void> rememberPreset(const std::string& device, const EncodableMap& preset) const;

private:
    std::string path_;
};

}  // namespace lumivane
