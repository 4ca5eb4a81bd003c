#include "tools/console/download_policy.h"

#include "runtime/file_name.h"
#include "runtime/file_writer.h"
#include "runtime/mutex.h"
#include "tools/console/console_request.h"

namespace lumivane {

namespace fs = std::filesystem;

namespace {

// The last component of a path as written ("" after a trailing '/', "." for
// "dir/."): a target must end in a plain file name.
std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

const std::string* text(const EncodableMap* map, const char* key) {
    const auto* value = map ? map->find(key) : nullptr;
    return value ? value->get<std::string>() : nullptr;
}

}  // namespace

std::string DownloadPolicy::canonicalFolder(const fs::path& path) {
    std::error_code error;
    auto canonical = fs::weakly_canonical(path.lexically_normal(), error).lexically_normal().string();
    while (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
    return canonical;
}

std::optional<Refusal> DownloadPolicy::ready(const std::string& method, EncodableValue& arguments,
                                             const std::optional<std::string>& destination, Reservation& reservation) {
    auto* map = arguments.get<EncodableMap>();
    if (method == "iphone.download") {
        const auto* target = text(map, "target");
        if (!destination || !target || !under(*target, *destination) || !isPlainFileName(fileName(*target)))
            return Refusal{403, "destination", "Downloads go under the chosen folder."};
        auto normal = fs::path(*target).lexically_normal();
        map->set("target", reservation.take(canonicalFolder(normal.parent_path()), normal.filename()));
        map->set("within", *destination);
    } else if (method == "camera.download") {
        const auto *dir = text(map, "dir"), *name = text(map, "name");
        if (!destination || !dir || !under(*dir, *destination, true) || !name || !isPlainFileName(*name))
            return Refusal{403, "destination", "Downloads go under the chosen folder."};
        map->set("dir", canonicalFolder(*dir));
        map->set("within", *destination);
    } else if (method == "file.reveal") {
        const auto* path = text(map, "path");
        if (!destination || !path || !under(*path, *destination, true))
            return Refusal{403, "destination", "Only the chosen folder can be shown."};
    }
    return std::nullopt;
}

std::string DownloadPolicy::Reservation::take(const fs::path& folder, const std::string& name) {
    MutexLock guard(policy_.mutex_);
    auto free =
        freeFileName(folder.string(), name, [&](const std::string& path) { return policy_.reserved_.count(path) > 0; });
    target_ = (folder / free).string();
    policy_.reserved_.insert(target_);
    return target_;
}

DownloadPolicy::Reservation::~Reservation() {
    if (target_.empty()) return;
    MutexLock guard(policy_.mutex_);
    policy_.reserved_.erase(target_);
}

}  // namespace lumivane
