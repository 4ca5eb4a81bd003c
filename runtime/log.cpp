#include "runtime/log.h"

#include <syslog.h>
#include <unistd.h>
#include "runtime/mutex.h"

namespace lumivane {

Log::Log(Options options) : options_(options) {
    if (options_.toSyslog) openlog("lumivane-host", LOG_PID, LOG_USER);
}

Log::~Log() {
    if (options_.toSyslog) closelog();
}

void Log::write(const std::string& line) {
    if (options_.toStandardError) {
        std::string out = line + "\n";
        // One write call per line so lines of different threads never interleave.
        [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, out.data(), out.size());
    }
    if (options_.toSyslog) syslog(LOG_NOTICE, "%s", line.c_str());
    if (options_.capture) {
        MutexLock lock(mutex_);
        lines_.push_back(line);
    }
}

std::vector<std::string> Log::lines() const {
    MutexLock lock(mutex_);
    return lines_;
}

bool Log::contains(const std::string& fragment) const {
    MutexLock lock(mutex_);
    for (const auto& line : lines_)
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

void Log::clear() {
    MutexLock lock(mutex_);
    lines_.clear();
}

}  // namespace lumivane
