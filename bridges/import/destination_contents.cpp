#include "bridges/import/destination_contents.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridges/import/item_copy.h"

namespace lumivane {

namespace {

// Every regular file below the open folder `fd` (which it closes), by size.
void walk(int fd, const std::string& path, int depth, std::unordered_map<std::int64_t, std::vector<std::string>>& out,
          std::size_t& count) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;  // ".", "..", hidden entries and temporaries
        struct stat info {};
        if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(info.st_mode) && depth < DestinationContents::kMaxDepth) {
            int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) walk(sub, path + "/" + name, depth + 1, out, count);
        } else if (S_ISREG(info.st_mode) && count < DestinationContents::kMaxFiles) {
            out[info.st_size].push_back(path + "/" + name);
            ++count;
        }
    }
    ::closedir(dir);
}

}  // namespace

void DestinationContents::index() {
    if (indexed_) return;
    indexed_ = true;
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t count = 0;
    if (fd >= 0) walk(fd, root_, 0, bySize_, count);
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
