#include "runtime/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace lumivane {

namespace {

// The folder open at `fd` (closed here), `depth` below the root.
bool walkFolder(int fd, const std::string& path, int depth, int maxDepth,
                const std::function<bool(const std::string&, const struct stat&)>& visit) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return true;
    }
    bool going = true;
    while (going) {
        dirent* entry = ::readdir(dir);
        if (!entry) break;
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;  // ".", "..", hidden entries
        struct stat info {};
        if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string child = path + "/" + name;
        if (S_ISDIR(info.st_mode) && depth < maxDepth) {
            int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) going = walkFolder(sub, child, depth + 1, maxDepth, visit);
        } else if (S_ISREG(info.st_mode)) {
            going = visit(child, info);
        }
    }
    ::closedir(dir);
    return going;
}

}  // namespace

bool walkFiles(const std::string& root, int maxDepth,
               const std::function<bool(const std::string& path, const struct stat& info)>& visit) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    return walkFolder(fd, root, 0, maxDepth, visit);
}

}  // namespace lumivane
