#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/mutex.h"

namespace lumivane {

// What a destination already holds, found by content: "skip duplicates"
// asks it for a file with the same bytes as a new copy. The folder is walked
// once, on first use (hidden entries and links left out, at most kMaxFiles
// files), and indexed by size; a file is hashed only when a copy of its size
// asks, and its hash kept. Copies the job makes are added as they are made.
//
// Any thread; `lock_` guards the index and the hashes, never held while a
// file is read.
class DestinationContents {
public:
    explicit DestinationContents(std::string root) : root_(std::move(root)) {}

    // A file below the root with `size` bytes whose XXH3-128 hash is `hash`.
    std::optional<std::string> find(std::int64_t size, const std::string& hash);
    // A file now at `path` with these bytes.
    void add(const std::string& path, std::int64_t size, const std::string& hash);

    static constexpr std::size_t kMaxFiles = 4'000'000;
    static constexpr int kMaxDepth = 32;

private:
    void index() LUMIVANE_REQUIRES(lock_);

    std::string root_;
    Mutex lock_;
    bool indexed_ LUMIVANE_GUARDED_BY(lock_) = false;
    std::unordered_map<std::int64_t, std::vector<std::string>> bySize_ LUMIVANE_GUARDED_BY(lock_);
    std::unordered_map<std::string, std::string> hashes_ LUMIVANE_GUARDED_BY(lock_);  // path to hash
};

}  // namespace lumivane
