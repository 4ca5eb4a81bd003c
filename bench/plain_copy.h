#pragma once
// The copy a user's `cp` makes, flushed to disk as every download of the
// host is before it takes its name: the baseline of the download benchmarks.
// Any thread.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace lumivane {

inline void plainCopy(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char> buffer(1 << 20);
    for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;)
        if (::write(out, buffer.data(), static_cast<std::size_t>(n)) != n) break;
    ::fsync(out);
    ::close(in);
    ::close(out);
}

}  // namespace lumivane
