#include "tools/console/volume_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "runtime/file_writer.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

bool hidden(const fs::path& path) { return path.filename().string().starts_with("."); }

std::int64_t milliseconds(const struct stat& info) {
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1'000'000;
}

Json fileEntry(const fs::path& path, const struct stat& info) {
    return {{"name", wireText(path.filename().string())},
            {"path", wireText(path.string())},
            {"dir", false},
            {"size", static_cast<std::uint64_t>(info.st_size)},
            {"modified", milliseconds(info)}};
}

// Closes a descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string onVolume(const std::string& path, const std::vector<std::string>& volumes) {
    std::error_code error;
    if (path.empty() || path.front() != '/') return {};
    auto canonical = fs::weakly_canonical(path, error);
    if (error) return {};
    for (const auto& volume : volumes) {
        auto root = fs::weakly_canonical(volume, error);
        if (error || root == "/") continue;  // the system's own disk is not a card
        auto [end, _] = std::mismatch(root.begin(), root.end(), canonical.begin(), canonical.end());
        if (end == root.end()) return canonical.string();
    }
    return {};
}

Json folderEntries(const std::string& folder, std::size_t limit) {
    Json entries = Json::array();
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto& path = it->path();
        struct stat info {};
        if (hidden(path) || ::lstat(path.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            std::size_t count = 0;
            std::error_code inner;
            for (fs::directory_iterator child(path, inner), last; !inner && child != last && count < limit;
                 child.increment(inner))
                count += !hidden(child->path());
            entries.push_back({{"name", wireText(path.filename().string())},
                               {"path", wireText(path.string())},
                               {"dir", true},
                               {"count", count}});
        } else if (S_ISREG(info.st_mode)) {
            entries.push_back(fileEntry(path, info));
        }
        if (entries.size() >= limit) break;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Json& a, const Json& b) { return a["name"].get<std::string>() < b["name"].get<std::string>(); });
    return entries;
}

}  // namespace lumivane
