#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/result.h"

namespace lumivane {

// The console's own reach into mounted cards and disks: the host names the
// volumes, and the console lists their folders and photos itself, as it runs
// on the same machine (imports go through the host's import jobs).
//
// Nothing here follows a symbolic link, and every path is first checked to
// lie on one of the volumes given. Any thread; no state.

// Whether `path` (made canonical) is one of `volumes` or lies under one;
// the canonical path when it does, empty otherwise.
std::string onVolume(const std::string& path, const std::vector<std::string>& volumes);

// Names and paths in entries follow the channel's rule for bytes that are not
// UTF-8 (wireText), so the page can send them back (rawText) unchanged.

// A folder's entries, by name: {"name", "path" (absolute), "dir", "count"
// (folders), "size" and "modified" (ms since 1970, files)}. Hidden entries
// and links are left out; at most `limit` entries.
nlohmann::ordered_json folderEntries(const std::string& folder, std::size_t limit = 50'000);

}  // namespace lumivane
