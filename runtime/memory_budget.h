#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include "runtime/mutex.h"

namespace lumivane {

// Bounds what many threads hold in memory at once, in the units its user
// counts (the pixels of pictures decoded whole, the bytes of files read
// whole): a holder waits until its share fits. One share larger than the
// whole budget takes all of it, alone. Any thread; `mutex_` guards `used_`.
class MemoryBudget {
public:
    explicit MemoryBudget(std::int64_t capacity) : capacity_(capacity) {}

    class Hold {
    public:
        Hold(MemoryBudget& budget, std::int64_t units) : budget_(budget), units_(std::min(units, budget.capacity_)) {
            MutexLock lock(budget_.mutex_);
            budget_.freed_.wait(lock, [&] { return budget_.used_ + units_ <= budget_.capacity_; });
            budget_.used_ += units_;
        }
        ~Hold() {
            {
                MutexLock lock(budget_.mutex_);
                budget_.used_ -= units_;
            }
            budget_.freed_.notify_all();
        }
        // Whether others hold a share besides this one now.
        bool shared() const {
            MutexLock lock(budget_.mutex_);
            return budget_.used_ > units_;
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        MemoryBudget& budget_;
        std::int64_t units_;
    };

private:
    const std::int64_t capacity_;
    mutable Mutex mutex_;
    CondVar freed_;
    std::int64_t used_ = 0;
};

}  // namespace lumivane
