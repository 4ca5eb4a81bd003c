#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "runtime/result.h"

namespace lumivane {

// The whole contents of a file of at most `limit` bytes; absent when it
// cannot be read or is larger (a file from outside is never read unbounded).
// Any thread.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

// Reads the open file `fd` from where it stands to its end, at most 1 MiB at
// a time, into `chunk`, which may refuse (ending the read with its error);
// `cancelled`, when given, is asked before each chunk and ends the read with
// Error::Code::cancelled. A read the system refuses ends with its words.
// Any thread.
Result<void> readChunks(int fd, const std::function<Result<void>(const std::uint8_t* data, std::size_t size)>& chunk,
                        const std::function<bool()>& cancelled = {});

// Whether `path` is a regular file (after links), told without blocking: a
// FIFO, a device or a socket named like a photo is never handed to a decoder,
// which would wait on it for good. Any thread.
bool isRegularFile(const std::string& path);

// A regular file held open for a decoder that opens files by path: path()
// names this very file (through /proc/self/fd), so swapping the original
// path for a FIFO or a device after the check hands the decoder nothing
// else. Opened without blocking and checked after opening. Movable; any
// thread, one at a time.
class RegularFile {
public:
    // Absent when `path` is no regular file (after links) or cannot be opened.
    static std::optional<RegularFile> open(const std::string& path);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    // Opening it gives a fresh description of the same file (its own offset).
    const std::string& path() const { return path_; }

private:
    explicit RegularFile(int fd);
    int fd_ = -1;
    std::string path_;
};

}  // namespace lumivane
