#pragma once
#include <string>
#include <string_view>

namespace lumivane {

// Names that come from outside (a caller's "name", a device's identifier)
// before they name a file. Any thread; no state.

// Whether `name` is one plain file name: not empty, not "." or "..", and
// without '/' or NUL, so that it names an entry of the folder it is joined to
// and nothing else.
bool isPlainFileName(std::string_view name);

// `identifier` as one plain file name that gives it back unchanged where it
// is made of letters, digits, '-' and '_' (as every real device identifier
// is); every other byte becomes "%XX" (upper-case hex), so that different
// identifiers never share a name and none steps out of its folder.
std::string fileNameComponent(std::string_view identifier);

}  // namespace lumivane
