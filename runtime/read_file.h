#pragma once
#include <cstddef>
#include <optional>
#include <string>

namespace lumivane {

// The whole contents of a file of at most `limit` bytes; absent when it
// cannot be read or is larger (a file from outside is never read unbounded).
// Any thread.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

// Whether `path` is a regular file (after links), told without blocking: a
// FIFO, a device or a socket named like a photo is never handed to a decoder,
// which would wait on it for good. Any thread.
bool isRegularFile(const std::string& path);

}  // namespace lumivane
