#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "runtime/mutex.h"

namespace lumivane {

// A record of what the host asked of the platform, in order (start-up steps,
// window operations, plugin registrations), so tests and the demo can see the
// sequence. Any thread; `mutex_` guards `entries_`.
class Journal {
public:
    void add(std::string entry) {
        MutexLock lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        MutexLock lock(mutex_);
        return entries_;
    }

private:
    mutable Mutex mutex_;
    std::vector<std::string> entries_ LUMIVANE_GUARDED_BY(mutex_);
};

}  // namespace lumivane
