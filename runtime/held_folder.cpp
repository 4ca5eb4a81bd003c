#include "runtime/held_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace lumivane {

Result<HeldFolder> HeldFolder::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failure(Error::system());
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        auto error = Error::system();
        ::close(fd);
        return failure(std::move(error));
    }
    return HeldFolder(path, fd, info.st_dev, info.st_ino);
}

HeldFolder::HeldFolder(HeldFolder&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), device_(other.device_), inode_(other.inode_) {}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

HeldFolder::~HeldFolder() {
    if (fd_ >= 0) ::close(fd_);
}

Error HeldFolder::gone(const std::string& path) {
    return Error{Error::Code::unavailable, "The folder " + path + " is gone."};
}

std::optional<Error> HeldFolder::problem() const {
    struct stat held {
    }, named{};
    // A removed folder keeps its descriptor but no links; a path that now
    // leads to another folder, or nowhere, no longer names this one.
    bool here = fd_ >= 0 && ::fstat(fd_, &held) == 0 && held.st_nlink > 0 && ::stat(path_.c_str(), &named) == 0 &&
                named.st_dev == device_ && named.st_ino == inode_;
    if (!here) return gone(path_);
    if (::faccessat(fd_, ".", W_OK | X_OK, AT_EACCESS) != 0 || ::access(path_.c_str(), W_OK) != 0)
        return Error{Error::Code::noPermission, "The folder " + path_ + " cannot be written."};
    return std::nullopt;
}

}  // namespace lumivane
