#pragma once
#include <string>

namespace lumivane {

// The console's token: 64 random hex digits. A console on a fixed port keeps
// its token in a private file of the user's configuration
// ("lumivane/console-PORT.token" under $XDG_CONFIG_HOME, else ~/.config), so
// the address it prints stays the same from start to start and can be
// bookmarked; each port has its own.
//
// Any thread; no state.

// A new random token.
std::string newToken();

// The token kept for `port` in `configFolder` (made when there is none, or
// when the file there is not a private regular file of this user holding a
// token); a new unkept token when the folder cannot be used.
std::string keptToken(const std::string& configFolder, int port);

// Where the user's configuration lives: $XDG_CONFIG_HOME when it is an
// absolute path, else $HOME/.config; "" when neither is known.
std::string userConfigFolder();

}  // namespace lumivane
