#pragma once
#include <optional>
#include <string>

namespace lumivane {

// The folder a user's `user-dirs.dirs` (the text of it; empty when there is
// none) names for `kind` ("PICTURES", "DOWNLOAD", ...), as xdg-user-dirs
// writes it: XDG_<kind>_DIR="$HOME/..." or an absolute path. Without an
// entry, the folder of that name in the home (~/Pictures); an entry of
// "$HOME" alone turns the folder off (none); an entry of another form is
// not trusted and counts as none. Any thread.
std::optional<std::string> xdgUserDir(const std::string& userDirs, const std::string& kind, const std::string& home);

}  // namespace lumivane
