#include "runtime/file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace lumivane {

namespace {

constexpr const char* kTemporaryInfix = ".lumivane-";
constexpr std::size_t kTemporarySuffixLength = 6;  // mkostemp's XXXXXX

std::string systemError() { return std::strerror(errno); }

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

}  // namespace

FileWriter::FileWriter(std::string target, std::string temporary, int fd)
    : target_(std::move(target)), temporary_(std::move(temporary)), fd_(fd) {}

FileWriter::FileWriter(FileWriter&& other) noexcept
    : target_(std::move(other.target_)), temporary_(std::move(other.temporary_)), fd_(other.fd_) {
    other.temporary_.clear();
    other.fd_ = -1;
}

FileWriter& FileWriter::operator=(FileWriter&& other) noexcept {
    if (this != &other) {
        abort();
        target_ = std::move(other.target_);
        temporary_ = std::move(other.temporary_);
        fd_ = other.fd_;
        other.temporary_.clear();
        other.fd_ = -1;
    }
    return *this;
}

FileWriter::~FileWriter() { abort(); }

Result<void, std::string> FileWriter::checkWritable(const std::string& target) {
    if (target.empty() || target.back() == '/') return failure(std::string(std::strerror(EISDIR)));
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))
        return failure(std::string(std::strerror(EISDIR)));
    std::string folder = folderOf(target);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return failure(systemError());
    if (!S_ISDIR(info.st_mode)) return failure(std::string(std::strerror(ENOTDIR)));
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return failure(systemError());
    return {};
}

Result<FileWriter, std::string> FileWriter::create(const std::string& target, mode_t mode) {
    if (auto writable = checkWritable(target); !writable.ok()) return failure(writable.error());
    removeStale(target);
    std::string temporary = target + kTemporaryInfix + std::string(kTemporarySuffixLength, 'X');
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return failure(systemError());
    // Held until the writer lets go, so that removeStale() can tell a live
    // writer's temporary from a dead one's.
    ::flock(fd, LOCK_EX | LOCK_NB);
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, mode & ~mask);
    return FileWriter(target, std::move(temporary), fd);
}

Result<void, std::string> FileWriter::write(const void* data, std::size_t size) {
    if (fd_ < 0) return failure(std::string(std::strerror(EBADF)));
    auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure(systemError());
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

Result<void, std::string> FileWriter::commit(Commit how) {
    if (fd_ < 0) return failure(std::string(std::strerror(EBADF)));
    std::string error;
    if (::fsync(fd_) != 0) error = systemError();  // the bytes are on disk before the name is
    if (::close(fd_) != 0 && error.empty()) error = systemError();
    fd_ = -1;
    if (error.empty()) {
        if (how == Commit::replace) {
            if (::rename(temporary_.c_str(), target_.c_str()) != 0) error = systemError();
        } else if (::link(temporary_.c_str(), target_.c_str()) != 0) {  // refuses an existing name
            error = systemError();
        }
    }
    if (!error.empty() || how == Commit::keepExisting) ::unlink(temporary_.c_str());
    temporary_.clear();
    if (!error.empty()) return failure(std::move(error));
    return {};
}

void FileWriter::abort() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

void FileWriter::removeStale(const std::string& target) {
    std::string folder = folderOf(target);
    std::string prefix = nameOf(target) + kTemporaryInfix;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + kTemporarySuffixLength || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string path = folder + "/" + name;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat info {};
        // Only a regular file that no live writer holds locked.
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }
    ::closedir(dir);
}

Result<void, std::string> writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode) {
    auto writer = FileWriter::create(path, mode);
    if (!writer.ok()) return failure(writer.error());
    if (auto written = writer.value().write(contents.data(), contents.size()); !written.ok()) return written;
    return writer.value().commit();
}

}  // namespace lumivane
