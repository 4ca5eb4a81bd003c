#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace lumivane {

// The simulated Mac's record of what was asked of it, in order, so tests and
// the demo can see the sequence. Any thread; `mutex_` guards `entries_`.
class SimJournal {
public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

}  // namespace lumivane
