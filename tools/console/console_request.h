#pragma once
#include <string>

#include "tools/common/json_value.h"

namespace lumivane {

// How the console reads what a request brings: its JSON, its cookie, and the
// paths and names in it. Everything here takes hostile text. Any thread; no
// state.

// The cookie's name is this followed by "_" and the console's port: cookies
// do not tell ports apart, and two consoles on one machine must not replace
// each other's token.
inline constexpr char kCookie[] = "lumivane_token";

// A request's JSON, or a discarded value when it does not parse or nests
// deeper than 32 levels, deeper than any request of the page (deep nesting
// would otherwise cost a stack frame a level on the way to the host).
Json parseRequest(const std::string& text);

// The JSON text of an answer or event. A file name from a card or a name a
// device gives may hold bytes that are not UTF-8: they become U+FFFD rather
// than failing the whole answer.
std::string jsonText(const Json& value);

// The value of the cookie `name` in a Cookie header; empty when absent.
std::string cookieToken(const std::string& cookies, const std::string& name = kCookie);

// Constant-time comparison, so the token cannot be guessed a byte at a time.
bool sameToken(const std::string& a, const std::string& b);

// Whether `path`, made absolute and normal, lies under `folder` (a canonical
// path), or is `folder` itself when `orItself`. Links are followed as far as
// they exist, so a link inside the folder that points out of it does not
// count as inside; a sibling sharing the folder's name as a prefix is outside.
bool under(const std::string& path, const std::string& folder, bool orItself = false);

// The full path of a folder a person typed: "~" and "~/…" stand for `home`,
// and a relative name lies under `home` too (what "Pictures" means to the
// person typing it). Empty when no path can be meant: nothing typed, another
// user's "~name", a NUL byte, or no home known for a name that needs one.
std::string typedFolder(const std::string& typed, const std::string& home);

// A folder's path with links resolved as far as they exist, normal, without
// a trailing '/' (but "/" itself).
std::string canonicalFolder(const std::string& path);

}  // namespace lumivane
