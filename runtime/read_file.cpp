#include "runtime/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <utility>
#include <vector>

namespace lumivane {

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    // Not blocking: a FIFO would wait for a writer in open() itself.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > limit) {
        ::close(fd);
        return std::nullopt;
    }
    std::string contents;
    contents.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || contents.size() + static_cast<std::size_t>(n) > limit) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return contents;
}

Result<void> readChunks(int fd, const std::function<Result<void>(const std::uint8_t* data, std::size_t size)>& chunk,
                        const std::function<bool()>& cancelled) {
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        if (cancelled && cancelled()) return failure(Error{Error::Code::cancelled, "Cancelled."});
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure(Error::system());
        if (n == 0) return {};
        if (auto taken = chunk(buffer.data(), static_cast<std::size_t>(n)); !taken.ok()) return taken;
    }
}

bool isRegularFile(const std::string& path) { return RegularFile::open(path).has_value(); }

std::optional<RegularFile> RegularFile::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    RegularFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (file.fd_ < 0 || ::fstat(file.fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return file;
}

RegularFile::RegularFile(int fd) : fd_(fd), path_(fd >= 0 ? "/proc/self/fd/" + std::to_string(fd) : "") {}

RegularFile::RegularFile(RegularFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace lumivane
