#pragma once
#include <cstddef>
#include <optional>
#include <string>

namespace lumivane {

// The whole contents of a file of at most `limit` bytes; absent when it
// cannot be read or is larger (a file from outside is never read unbounded).
// Any thread.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

}  // namespace lumivane
