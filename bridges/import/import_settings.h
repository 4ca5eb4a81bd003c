#pragma once
#include <string>

#include "channel/encodable_value.h"
#include "runtime/result.h"

namespace lumivane {

// The import options a person chose last (destination, backup, templates,
// "only new"...), remembered for every client in "import-settings.json" in
// the data folder, so a page that reloads or another client starts from them.
//
// Any thread: each call reads or replaces the whole file. Writes (each a
// read, a change and a rewrite) must not overlap: the owner makes them one at
// a time.
class ImportSettings {
public:
    static constexpr const char* kFile = "import-settings.json";

    explicit ImportSettings(std::string path) : path_(std::move(path)) {}

    // What is remembered; an empty map when nothing is (or the file is not ours).
    EncodableMap load() const;
    // Remembers `settings` over what was remembered: only the known keys,
    // each of its own type and bounded; anything else is refused and nothing
    // changes.
    Result<void> remember(const EncodableMap& settings) const;

private:
    std::string path_;
};

}  // namespace lumivane
