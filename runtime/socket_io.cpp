#include "runtime/socket_io.h"

#include <sys/socket.h>
#include <cerrno>

namespace lumivane {

bool writeAll(int fd, const void* data, std::size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readExact(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace lumivane
