#include "bridges/files/volume_import_source.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cmath>
#include <utility>
#include <vector>

#include "platform/common/media_types.h"
#include "runtime/file_name.h"
#include "runtime/folder_walk.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

// Opens `relative` below the folder `root`, following no link and never
// leaving it.
int openBeneath(int root, const std::string& relative, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how));
}

struct Fd {
    int fd;
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::string lowerExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    std::string extension = name.substr(dot + 1);
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

double secondsOf(const timespec& time) { return static_cast<double>(time.tv_sec) + time.tv_nsec / 1e9; }

// Whether the file `info` describes is still the item listed: the same file
// where its identity was listed, the same size and time (to the microsecond,
// what a time in seconds as a double keeps).
bool stillTheItem(const struct stat& info, const ImportItem& item) {
    return S_ISREG(info.st_mode) && info.st_size == item.size &&
           std::abs(secondsOf(info.st_mtim) - item.modified) < 4e-6 &&
           (item.fileId == 0 || static_cast<std::uint64_t>(info.st_ino) == item.fileId);
}

bool isImportable(const std::string& name) {
    auto extension = lowerExtension(name);
    return cameraTypeIdentifier(name) || isVideoFileName(name) || extension == "xmp" || extension == "aae";
}

}  // namespace

Result<std::shared_ptr<ImportSource>> VolumeImportSource::open(Volumes& volumes, const std::string& mountPoint,
                                                               const std::vector<std::string>& protectedPaths) {
    auto values = volumes.values(mountPoint);
    bool mounted = false;
    for (const auto& path : volumes.mountedVolumePaths()) mounted = mounted || path == mountPoint;
    struct stat info {};
    if (!mounted || !values || ::stat(mountPoint.c_str(), &info) != 0)
        return failure(Error{Error::Code::notFound, "No volume is mounted at " + mountPoint + "."});
    std::string name = values->localizedName.value_or(values->name.value_or(mountPoint));
    bool system = mountPoint == "/" || values->rootFileSystem.value_or(false);
    for (const auto& path : protectedPaths) {
        auto holder = path.empty() ? std::nullopt : volumes.volumeOf(path);
        system = system || (holder && holder->root == mountPoint);
    }
    if (system)
        return failure(Error{Error::Code::noPermission,
                             name + " is this computer's own disk; photos are imported from cards, cameras, phones "
                                    "and removable disks."});
    std::string identity = "volume:" + values->uuid.value_or(name);
    // A USB disk is not always flagged removable, but it is ejectable and not internal.
    bool removable =
        values->removable.value_or(false) || (values->ejectable.value_or(false) && !values->internal.value_or(true));
    return std::shared_ptr<ImportSource>(
        new VolumeImportSource(volumes, mountPoint, name, identity, info.st_dev, removable));
}

void VolumeImportSource::eject(std::function<void(Result<void>)> done) {
    volumes_.unmountAndEjectLater(mountPoint_, std::move(done));
}

std::optional<std::string> VolumeImportSource::relative(const std::string& path) const {
    if (path.size() <= mountPoint_.size() + 1 || path.compare(0, mountPoint_.size(), mountPoint_) != 0 ||
        path[mountPoint_.size()] != '/')
        return std::nullopt;
    return path.substr(mountPoint_.size() + 1);
}

Error VolumeImportSource::failed(Error error) const {
    struct stat info {};
    if (::stat(mountPoint_.c_str(), &info) != 0 || info.st_dev != device_)
        return Error{Error::Code::unavailable, "The volume " + name_ + " was removed."};
    return error;
}

Result<std::vector<ImportItem>> VolumeImportSource::list() {
    struct stat root {};
    if (::stat(mountPoint_.c_str(), &root) != 0 || !S_ISDIR(root.st_mode)) return failure(failed(Error::system()));
    std::vector<ImportItem> items;
    bool whole = walkFiles(mountPoint_, kMaxDepth, [&](const std::string& path, const struct stat& info) {
        if (!isImportable(path.substr(path.rfind('/') + 1))) return true;
        if (items.size() >= kMaxItems) return false;
        items.push_back({path, static_cast<std::int64_t>(info.st_size), secondsOf(info.st_mtim),
                         static_cast<std::uint64_t>(info.st_ino)});
        return true;
    });
    if (!whole)
        return failure(Error{"The volume holds more files than Lumivane can import at once (over " +
                             std::to_string(kMaxItems) + ")."});
    return items;
}

Result<int> VolumeImportSource::openItem(const ImportItem& item) const {
    auto below = relative(item.path);
    if (!below) return failure(Error{Error::Code::badInput, "Not a file on this volume: " + item.path});
    Fd root(::open(mountPoint_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) return failure(failed(Error::system()));
    Fd file(openBeneath(root.fd, *below, O_RDONLY | O_NONBLOCK));
    if (file.fd < 0) return failure(failed(Error::system()));
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) return failure(failed(Error::system()));
    if (!S_ISREG(info.st_mode)) return failure(Error{Error::Code::badInput, "Not a regular file: " + item.path});
    return std::exchange(file.fd, -1);
}

Result<void> VolumeImportSource::read(const ImportItem& item, const Sink& sink,
                                      const std::function<bool()>& cancelled) {
    auto opened = openItem(item);
    if (!opened.ok()) return failure(opened.error());
    Fd file(opened.value());
    // A read the card refuses may be the card taken out; what the sink
    // refuses is the sink's own.
    bool refused = false;
    auto read = readChunks(
        file.fd,
        [&](const std::uint8_t* data, std::size_t size) {
            auto taken = sink(data, size);
            refused = !taken.ok();
            return taken;
        },
        cancelled);
    if (!read.ok() && !refused && read.error().code != Error::Code::cancelled) return failure(failed(read.error()));
    return read;
}

Result<void> VolumeImportSource::readAt(const ImportItem& item, std::int64_t offset, std::size_t length,
                                        const Sink& sink) {
    if (offset < 0) return failure(Error{Error::Code::badInput, "A read starts inside the file."});
    auto opened = openItem(item);
    if (!opened.ok()) return failure(opened.error());
    Fd file(opened.value());
    constexpr std::size_t kChunk = 1u << 20;
    std::vector<std::uint8_t> buffer(std::min(length, kChunk));
    for (std::size_t done = 0; done < length;) {
        auto got = ::pread(file.fd, buffer.data(), std::min(buffer.size(), length - done),
                           static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return failure(failed(Error::system()));
        if (got == 0) break;  // the file ends first
        if (auto taken = sink(buffer.data(), static_cast<std::size_t>(got)); !taken.ok()) return taken;
        done += static_cast<std::size_t>(got);
    }
    return {};
}

Result<void> VolumeImportSource::remove(const ImportItem& item) {
    auto below = relative(item.path);
    if (!below) return failure(Error{Error::Code::badInput, "Not a file on this volume: " + item.path});
    auto slash = below->rfind('/');
    std::string folder = slash == std::string::npos ? "." : below->substr(0, slash);
    std::string name = slash == std::string::npos ? *below : below->substr(slash + 1);
    if (!isPlainFileName(name)) return failure(Error{Error::Code::badInput, "Not a file on this volume: " + item.path});
    Fd root(::open(mountPoint_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) return failure(failed(Error::system()));
    Fd parent(openBeneath(root.fd, folder, O_RDONLY | O_DIRECTORY));
    if (parent.fd < 0) return failure(failed(Error::system()));
    struct stat info {};
    if (::fstatat(parent.fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return failure(failed(Error::system()));
    // Only the file that was imported: one changed since is kept.
    if (!stillTheItem(info, item))
        return failure(Error{"The file changed on the volume since it was imported; it was kept."});
    if (::unlinkat(parent.fd, name.c_str(), 0) != 0) return failure(failed(Error::system()));
    return {};
}

}  // namespace lumivane
