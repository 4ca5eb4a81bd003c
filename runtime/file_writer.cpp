#include "runtime/file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "runtime/file_name.h"

namespace lumivane {

namespace {

constexpr const char* kTemporaryInfix = ".lumivane-";
constexpr std::size_t kTemporarySuffixLength = 6;
constexpr int kNameAttempts = 10'000;  // "stem 1.ext" up to "stem 9999.ext"
constexpr std::int64_t kHandOffBytes = 8 << 20;
constexpr std::size_t kDirectReadBytes = 4 << 20;
constexpr std::size_t kCachedReadBytes = 1 << 20;  // larger reads through the cache were slower
constexpr std::size_t kDirectAlignment = 4096;     // a page, which every disk block size divides

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The components of `folder` below `within` ("" when it is `within` itself);
// none when `folder` is not `within` or under it, or steps up with "..".
std::optional<std::vector<std::string>> componentsBelow(const std::string& folder, const std::string& within) {
    std::string root = within;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (folder.compare(0, root.size(), root) != 0) return std::nullopt;
    if (folder.size() > root.size() && root != "/" && folder[root.size()] != '/') return std::nullopt;
    std::vector<std::string> components;
    std::size_t at = root.size();
    while (at < folder.size()) {
        auto end = folder.find('/', at);
        if (end == std::string::npos) end = folder.size();
        auto component = folder.substr(at, end - at);
        if (component == "..") return std::nullopt;
        if (!component.empty() && component != ".") components.push_back(std::move(component));
        at = end + 1;
    }
    return components;
}

// The folder itself, for writing into through its descriptor; -1 with errno.
// With `within`, the folder must be it or lie under it, and the way down
// from it is walked one folder at a time with no link followed, so that a
// folder swapped for a link on the way cannot lead the write elsewhere.
// With `withinFd`, `within` is already open there and is not opened again
// by its path.
int openFolder(const std::string& folder, const std::string& within = {}, int withinFd = -1) {
    if (folder.find('\0') != std::string::npos || within.find('\0') != std::string::npos) {
        errno = ENOENT;
        return -1;
    }
    if (within.empty()) return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto below = componentsBelow(folder, within);
    if (!below) {
        errno = EACCES;
        return -1;
    }
    int fd = withinFd >= 0 ? ::openat(withinFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : ::open(within.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const auto& component : *below) {
        if (fd < 0) break;
        int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        struct stat info {};
        // Linux says "Not a directory" for a link here; a link is named as one.
        if (next < 0 && saved == ENOTDIR && ::fstatat(fd, component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(info.st_mode))
            saved = ELOOP;
        ::close(fd);
        errno = saved;
        fd = next;
    }
    return fd;
}

// Whether the file `name` could be created (or replaced) in the open folder.
Result<void> checkWritableIn(int folderFd, const std::string& name) {
    struct stat existing {};
    if (::fstatat(folderFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode))
        return failure(Error::system(EISDIR));
    if (::faccessat(folderFd, ".", W_OK | X_OK, 0) != 0) return failure(Error::system());
    return {};
}

// Removes the temporaries in the folder whose target's name `ofTarget`
// accepts and that no live writer holds locked.
void removeStaleIn(int folderFd, const std::function<bool(std::string_view target)>& ofTarget) {
    int listing = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return;
    }
    const std::string_view infix = kTemporaryInfix;
    while (dirent* entry = ::readdir(dir)) {
        std::string entryName = entry->d_name;
        if (entryName.size() < infix.size() + kTemporarySuffixLength) continue;
        auto target = std::string_view(entryName).substr(0, entryName.size() - kTemporarySuffixLength - infix.size());
        if (std::string_view(entryName).substr(target.size(), infix.size()) != infix || !ofTarget(target)) continue;
        int fd = ::openat(folderFd, entryName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat info {};
        // Only a regular file that no live writer holds locked.
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(folderFd, entryName.c_str(), 0);
        ::close(fd);
    }
    ::closedir(dir);
}

// "stem n.ext" for the n-th free name after `name` itself (n = 0).
}  // namespace

FileWriter::FileWriter(std::string folder, std::string name, std::string temporary, int folderFd, int fd)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      target_(joined(folder_, name_)),
      temporary_(std::move(temporary)),
      folderFd_(folderFd),
      fd_(fd) {}

FileWriter::FileWriter(FileWriter&& other) noexcept
    : folder_(std::move(other.folder_)),
      name_(std::move(other.name_)),
      target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      bulk_(other.bulk_),
      flushed_(other.flushed_),
      written_(other.written_),
      handedOff_(other.handedOff_),
      folderFd_(other.folderFd_),
      fd_(other.fd_) {
    other.temporary_.clear();
    other.folderFd_ = -1;
    other.fd_ = -1;
}

FileWriter& FileWriter::operator=(FileWriter&& other) noexcept {
    if (this != &other) {
        abort();
        release();
        folder_ = std::move(other.folder_);
        name_ = std::move(other.name_);
        target_ = std::move(other.target_);
        temporary_ = std::move(other.temporary_);
        bulk_ = other.bulk_;
        flushed_ = other.flushed_;
        written_ = other.written_;
        handedOff_ = other.handedOff_;
        folderFd_ = other.folderFd_;
        fd_ = other.fd_;
        other.temporary_.clear();
        other.folderFd_ = -1;
        other.fd_ = -1;
    }
    return *this;
}

FileWriter::~FileWriter() {
    abort();
    release();
}

void FileWriter::release() {
    // The temporary's lock goes last, with its descriptor: until its name is
    // gone, another writer of the target must not take it for a stale one.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (folderFd_ >= 0) ::close(folderFd_);
    folderFd_ = -1;
}

Result<void> FileWriter::checkWritable(const std::string& target) {
    auto name = nameOf(target);
    if (!isPlainFileName(name)) return failure(Error::system(EISDIR));
    int folderFd = openFolder(folderOf(target));
    if (folderFd < 0) return failure(Error::system());
    auto writable = checkWritableIn(folderFd, name);
    ::close(folderFd);
    return writable;
}

Result<FileWriter> FileWriter::create(const std::string& target, mode_t mode, const std::string& within) {
    return create(folderOf(target), nameOf(target), mode, within);
}

Result<FileWriter> FileWriter::create(const std::string& folder, const std::string& name, mode_t mode,
                                      const std::string& within, Stale stale) {
    return createIn(folder, name, mode, within, -1, stale);
}

Result<FileWriter> FileWriter::create(const std::string& folder, const std::string& name, mode_t mode,
                                      const HeldFolder& within, Stale stale) {
    return createIn(folder, name, mode, within.path(), within.fd(), stale);
}

Result<FileWriter> FileWriter::createIn(const std::string& folder, const std::string& name, mode_t mode,
                                        const std::string& within, int withinFd, Stale stale) {
    if (!isPlainFileName(name)) return failure(Error::system(EISDIR));
    int folderFd = openFolder(folder, within, withinFd);
    if (folderFd < 0) return failure(Error::system());
    if (auto writable = checkWritableIn(folderFd, name); !writable.ok()) {
        ::close(folderFd);
        return failure(writable.error());
    }
    if (stale == Stale::remove) removeStaleIn(folderFd, [&](std::string_view target) { return target == name; });
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = name + kTemporaryInfix;
        for (std::size_t i = 0; i < kTemporarySuffixLength; ++i) temporary += kLetters[pick(random)];
        int fd = ::openat(folderFd, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            auto error = Error::system();
            ::close(folderFd);
            return failure(std::move(error));
        }
        // Held until the writer lets go, so that a stale temporary can be
        // told from a live writer's. Another writer clearing stale ones may
        // have taken it between its making and this lock, and removed it:
        // the lock waits for that one to let go, and a removed temporary is
        // made again.
        struct stat made {};
        if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &made) != 0 || made.st_nlink == 0) {
            ::close(fd);
            continue;
        }
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, mode & ~mask);
        return FileWriter(folder, name, std::move(temporary), folderFd, fd);
    }
    ::close(folderFd);
    return failure(Error::system(EEXIST));
}

Result<void> FileWriter::write(const void* data, std::size_t size) {
    if (fd_ < 0) return failure(Error::system(EBADF));
    auto* bytes = static_cast<const std::uint8_t*>(data);
    flushed_ = false;
    while (size > 0) {
        ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure(Error::system());
        bytes += n;
        size -= static_cast<std::size_t>(n);
        written_ += n;
    }
    // Only a start: the commit's flush still waits for all of it (and reports
    // what failed), so a refusal here changes nothing.
    for (; bulk_ && written_ - handedOff_ >= kHandOffBytes; handedOff_ += kHandOffBytes)
        ::sync_file_range(fd_, handedOff_, kHandOffBytes, SYNC_FILE_RANGE_WRITE);
    return {};
}

Result<void> FileWriter::writeAt(std::int64_t offset, const void* data, std::size_t size) {
    if (fd_ < 0) return failure(Error::system(EBADF));
    auto* bytes = static_cast<const std::uint8_t*>(data);
    flushed_ = false;
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure(Error::system());
        bytes += n;
        offset += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

Result<void> FileWriter::extendTo(std::int64_t size) {
    if (fd_ < 0) return failure(Error::system(EBADF));
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return failure(Error::system());
    if (status.st_size >= size) return {};
    flushed_ = false;
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return failure(Error::system());
    return {};
}

Result<void> FileWriter::finishWriting() {
    if (fd_ < 0) return failure(Error::system(EBADF));
    // Flushed already (read back): a second flush would still cost the disk
    // a cache flush of its own.
    if (flushed_ || scratch_) return {};
    if (::fsync(fd_) != 0) {  // the bytes are on disk before the name is
        auto error = Error::system();
        abort();
        return failure(std::move(error));
    }
    flushed_ = true;
    if (bulk_) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    return {};
}

Result<void> FileWriter::commit(Commit how) {
    if (auto finished = finishWriting(); !finished.ok()) return finished;
    std::optional<Error> error;
    if (how == Commit::replace) {
        if (::renameat(folderFd_, temporary_.c_str(), folderFd_, name_.c_str()) != 0) error = Error::system();
    } else if (::linkat(folderFd_, temporary_.c_str(), folderFd_, name_.c_str(), 0) != 0) {  // refuses an existing name
        error = Error::system();
    }
    if (error || how == Commit::keepExisting) ::unlinkat(folderFd_, temporary_.c_str(), 0);
    temporary_.clear();
    release();
    if (error) return failure(std::move(*error));
    return {};
}

Result<std::string> FileWriter::linkUnderFreeName(int targetFd, const std::string& name) {
    Error error = Error::system(EEXIST);
    std::string taken;
    for (int n = 0; n < kNameAttempts; ++n) {
        auto candidate = numberedName(name, n);
        if (::linkat(folderFd_, temporary_.c_str(), targetFd, candidate.c_str(), 0) == 0) {
            taken = candidate;
            break;
        }
        if (errno != EEXIST) {
            error = Error::system();
            break;
        }
    }
    ::unlinkat(folderFd_, temporary_.c_str(), 0);
    temporary_.clear();
    if (taken.empty()) return failure(std::move(error));
    return taken;
}

Result<std::string> FileWriter::commitUnderFreeName() {
    if (auto finished = finishWriting(); !finished.ok()) return failure(finished.error());
    auto taken = linkUnderFreeName(folderFd_, name_);
    release();
    if (!taken.ok()) return taken;
    target_ = joined(folder_, taken.value());
    return taken;
}

Result<std::string> FileWriter::commitUnderFreeName(const std::string& folder, const std::string& name,
                                                    const std::string& within) {
    return commitUnderFreeNameIn(folder, name, within, -1);
}

Result<std::string> FileWriter::commitUnderFreeName(const std::string& folder, const std::string& name,
                                                    const HeldFolder& within) {
    return commitUnderFreeNameIn(folder, name, within.path(), within.fd());
}

Result<std::string> FileWriter::commitUnderFreeNameIn(const std::string& folder, const std::string& name,
                                                      const std::string& within, int withinFd) {
    if (!isPlainFileName(name)) return failure(Error::system(EISDIR));
    int targetFd = openFolder(folder, within, withinFd);
    if (targetFd < 0) {
        auto error = Error::system();
        abort();
        release();
        return failure(std::move(error));
    }
    if (auto finished = finishWriting(); !finished.ok()) {
        ::close(targetFd);
        return failure(finished.error());
    }
    auto taken = linkUnderFreeName(targetFd, name);
    if (taken.ok() && !scratch_) ::fsync(targetFd);  // the new name is on disk before anyone records it
    ::close(targetFd);
    release();
    if (!taken.ok()) return taken;
    folder_ = folder;
    name_ = taken.value();
    target_ = joined(folder_, name_);
    return target_;
}

namespace {

// The calling thread's buffer for direct reads, kept from file to file:
// mapping, faulting in and unmapping megabytes for each file cost a verified
// import a large share of its CPU. Mapped rather than taken from the heap,
// whose buffers of megabytes freed by many threads stay with the process; it
// is given back when the thread ends (an import's workers end when idle).
class DirectReadBuffer {
public:
    DirectReadBuffer() = default;
    DirectReadBuffer(const DirectReadBuffer&) = delete;
    DirectReadBuffer& operator=(const DirectReadBuffer&) = delete;
    ~DirectReadBuffer() {
        if (data_) ::munmap(data_, kDirectReadBytes);
    }
    // kDirectReadBytes, aligned for direct reads; null with errno when no memory could be had.
    void* get() {
        if (!data_) {
            void* mapped =
                ::mmap(nullptr, kDirectReadBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped != MAP_FAILED) data_ = mapped;
        }
        return data_;
    }

private:
    void* data_ = nullptr;
};

// Reads the whole of `fd` into `chunk`: with direct reads, which fetch from
// the disk without the page cache, where the file system takes them, else
// (or from where it stops taking them) through the cache.
Result<void> readFromDisk(int fd, std::int64_t size,
                          const std::function<void(const std::uint8_t*, std::size_t)>& chunk) {
    auto wanted = static_cast<std::size_t>(std::max<std::int64_t>(size, 1));
    auto bytes = std::min(kDirectReadBytes, (wanted + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment);
    thread_local DirectReadBuffer reused;
    void* buffer = reused.get();
    if (!buffer) return failure(Error::system());
    int flags = ::fcntl(fd, F_GETFL);
    bool direct = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
    Result<void> outcome;
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buffer, direct ? bytes : std::min(bytes, kCachedReadBytes), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && direct) {  // took the flag, not this read
            direct = false;
            ::fcntl(fd, F_SETFL, flags);
            continue;
        }
        if (n < 0) outcome = failure(Error::system());
        if (n <= 0) break;
        chunk(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(n));
        at += n;
    }
    if (direct) ::fcntl(fd, F_SETFL, flags);
    return outcome;
}

}  // namespace

Result<void> FileWriter::readBack(const std::function<void(const std::uint8_t* data, std::size_t size)>& chunk) {
    if (fd_ < 0) return failure(Error::system(EBADF));
    if (!flushed_ && ::fsync(fd_) != 0) return failure(Error::system());
    flushed_ = true;
    // Dropped even before a direct read: a file system may serve one from the
    // cache after all.
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    return readFromDisk(fd_, written_, chunk);
}

Result<void> FileWriter::setModificationTime(double seconds) {
    if (fd_ < 0) return failure(Error::system(EBADF));
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    auto whole = static_cast<time_t>(std::floor(seconds));
    times[1].tv_sec = whole;
    times[1].tv_nsec = static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
    flushed_ = false;
    if (::futimens(fd_, times) != 0) return failure(Error::system());
    return {};
}

void FileWriter::abort() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty() && folderFd_ >= 0) ::unlinkat(folderFd_, temporary_.c_str(), 0);
    temporary_.clear();
}

void FileWriter::removeStale(const std::string& target) {
    int folderFd = openFolder(folderOf(target));
    if (folderFd < 0) return;
    auto name = nameOf(target);
    removeStaleIn(folderFd, [&](std::string_view of) { return of == name; });
    ::close(folderFd);
}

void FileWriter::removeStaleWithPrefix(const std::string& folder, const std::string& prefix) {
    int folderFd = openFolder(folder);
    if (folderFd < 0) return;
    removeStaleIn(folderFd, [&](std::string_view of) { return of.substr(0, prefix.size()) == prefix; });
    ::close(folderFd);
}

std::string numberedName(const std::string& name, int n) {
    if (n == 0) return name;
    auto dot = name.rfind('.');
    auto stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    auto extension = stem.size() == name.size() ? std::string() : name.substr(dot);
    return stem + " " + std::to_string(n) + extension;
}

std::string freeFileName(const std::string& folder, const std::string& name,
                         const std::function<bool(const std::string& path)>& taken) {
    for (int n = 0; n < kNameAttempts; ++n) {
        auto candidate = numberedName(name, n);
        auto path = joined(folder, candidate);
        struct stat existing {};
        // A name that cannot be looked at is left to the write, which says why.
        bool exists = ::lstat(path.c_str(), &existing) == 0;
        if (!exists && !(taken && taken(path))) return candidate;
    }
    return numberedName(name, kNameAttempts);  // the write then finds it taken and says so
}

Result<void> writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode) {
    auto writer = FileWriter::create(path, mode);
    if (!writer.ok()) return failure(writer.error());
    if (auto written = writer.value().write(contents.data(), contents.size()); !written.ok()) return written;
    return writer.value().commit();
}

}  // namespace lumivane
