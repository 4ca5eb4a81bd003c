#include "runtime/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace lumivane {

std::string writeFileAtomically(const std::string& path, std::string_view contents) {
    std::string temporary = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) return std::strerror(errno);
    const char* data = contents.data();
    std::size_t left = contents.size();
    std::string error;
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (error.empty() && ::fsync(fd) != 0) error = std::strerror(errno);
    if (::close(fd) != 0 && error.empty()) error = std::strerror(errno);
    if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) error = std::strerror(errno);
    if (!error.empty()) ::unlink(temporary.c_str());
    return error;
}

bool readWholeFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    contents = buffer.str();
    return true;
}

}  // namespace lumivane
