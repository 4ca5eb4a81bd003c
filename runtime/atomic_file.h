#pragma once
#include <string>
#include <string_view>

namespace lumivane {

// Writes a whole file so that readers see either the old contents or the new,
// never a part: a temporary sibling is written, flushed and renamed into place,
// and removed again on any failure. Answers an error text, empty on success.
// Any thread.
std::string writeFileAtomically(const std::string& path, std::string_view contents);

// Reads a whole file; answers false when it cannot.
bool readWholeFile(const std::string& path, std::string& contents);

}  // namespace lumivane
