#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/result.h"

namespace lumivane {

// The console's own reach into mounted cards and disks: the host names the
// volumes, and the console lists their folders and copies their photos into
// the destination itself, as it runs on the same machine.
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

// Every photo and video under `folder` (any depth, hidden folders and links
// skipped), as file entries; at most `limit`.
nlohmann::ordered_json mediaUnder(const std::string& folder, std::size_t limit = 200'000);

// Copies `source` to `target` through a temporary beside it that only a
// whole copy replaces, and only while `target` does not exist (a file that
// appears meanwhile wins). `progress(done, total)` is told now and then and
// once at the end; when it answers false the copy stops and nothing is left.
// The reason in words when it fails.
Result<void> copyFile(const std::string& source, const std::string& target,
                      const std::function<bool(std::uint64_t, std::uint64_t)>& progress);

}  // namespace lumivane
