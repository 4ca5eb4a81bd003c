#pragma once
#include <sys/stat.h>

#include <functional>
#include <string>

namespace lumivane {

// Calls `visit` with the path and the status of every regular file below
// `root`, folder by folder in the order the file system lists them: hidden
// entries (names starting with ".") are left out, no link is followed, and
// folders deeper than `maxDepth` below the root are not entered; a folder
// that cannot be read is passed over. `visit` returns false to end the walk.
// False when `visit` ended it. Any thread.
bool walkFiles(const std::string& root, int maxDepth,
               const std::function<bool(const std::string& path, const struct stat& info)>& visit);

}  // namespace lumivane
