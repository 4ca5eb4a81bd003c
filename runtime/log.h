#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "runtime/mutex.h"

namespace lumivane {

// Plain log lines, no levels. write() may be called from any thread; `mutex_`
// guards the captured lines.
class Log {
public:
    struct Options {
        bool toStandardError = true;
        bool toSyslog = false;
        bool capture = false;
    };
    Log() : Log(Options{}) {}
    explicit Log(Options options);
    ~Log();

    void write(const std::string& line);

    // Captured lines (only when Options::capture), for tests.
    std::vector<std::string> lines() const;
    bool contains(const std::string& fragment) const;
    void clear();

    static Log capturing() { return Log(Options{false, false, true}); }

private:
    Options options_;
    mutable Mutex mutex_;
    std::vector<std::string> lines_ LUMIVANE_GUARDED_BY(mutex_);
};

}  // namespace lumivane
