#include "bridges/import/destination_contents.h"

#include "bridges/import/item_copy.h"
#include "runtime/folder_walk.h"

namespace lumivane {

void DestinationContents::index() {
    if (indexed_) return;
    indexed_ = true;
    std::size_t count = 0;
    std::unordered_map<std::int64_t, std::vector<std::string>> found;
    walkFiles(root_, kMaxDepth, [&](const std::string& path, const struct stat& info) {
        if (count++ >= kMaxFiles) return false;
        found[info.st_size].push_back(path);
        return true;
    });
    bySize_ = std::move(found);
}

std::optional<std::string> DestinationContents::find(std::int64_t size, const std::string& hash) {
    std::vector<std::string> candidates;
    {
        MutexLock guard(lock_);
        index();
        auto found = bySize_.find(size);
        if (found == bySize_.end()) return std::nullopt;
        for (const auto& path : found->second) {
            auto known = hashes_.find(path);
            if (known != hashes_.end() && known->second == hash) return path;
            if (known == hashes_.end()) candidates.push_back(path);
        }
    }
    for (const auto& path : candidates) {
        auto computed = ItemCopy::hashOf(path);
        if (!computed) continue;
        MutexLock guard(lock_);
        hashes_[path] = *computed;
        if (*computed == hash) return path;
    }
    return std::nullopt;
}

void DestinationContents::add(const std::string& path, std::int64_t size, const std::string& hash) {
    MutexLock guard(lock_);
    index();
    bySize_[size].push_back(path);
    hashes_[path] = hash;
}

}  // namespace lumivane
