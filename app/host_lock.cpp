#include "app/host_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <filesystem>
#include <utility>

namespace lumivane {

Result<HostLock> HostLock::take(const std::string& dataFolder, const std::string& servedOn) {
    std::error_code ignored;  // a folder that cannot be made shows as a lock that cannot be opened
    std::filesystem::create_directories(dataFolder, ignored);
    auto path = dataFolder + "/" + kFile;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return failure(Error{"Cannot open " + path + ": " + Error::system().message});
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[4096];
        auto read = ::pread(fd, holder, sizeof holder, 0);
        ::close(fd);
        std::string socket = read > 0 ? std::string(holder, static_cast<std::size_t>(read)) : "";
        return failure(Error{Error::Code::unavailable, "Another Lumivane host already serves " + dataFolder +
                                                           (socket.empty() ? "" : " on " + socket) + "."});
    }
    // Only the holder writes it, and only now.
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, servedOn.data(), servedOn.size(), 0) < 0) {
        auto error = Error::system();
        ::close(fd);
        return failure(Error{"Cannot write " + path + ": " + error.message});
    }
    return HostLock(fd);
}

HostLock::HostLock(HostLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

HostLock& HostLock::operator=(HostLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

HostLock::~HostLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace lumivane
