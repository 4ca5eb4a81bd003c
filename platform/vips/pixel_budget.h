#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include "runtime/mutex.h"

namespace lumivane {

// Bounds the pixels of pictures decoded whole at once (formats that cannot
// shrink while they load hold every pixel until the thumbnail is made), so
// that many renders on many threads stay within a memory budget: a render
// waits until its pixels fit. One picture larger than the whole budget takes
// all of it. Any thread; `mutex_` guards `used_`.
class PixelBudget {
public:
    explicit PixelBudget(std::int64_t capacity) : capacity_(capacity) {}

    class Hold {
    public:
        Hold(PixelBudget& budget, std::int64_t pixels) : budget_(budget), pixels_(std::min(pixels, budget.capacity_)) {
            MutexLock lock(budget_.mutex_);
            budget_.freed_.wait(lock, [&] { return budget_.used_ + pixels_ <= budget_.capacity_; });
            budget_.used_ += pixels_;
        }
        ~Hold() {
            {
                MutexLock lock(budget_.mutex_);
                budget_.used_ -= pixels_;
            }
            budget_.freed_.notify_all();
        }
        // Whether other pictures are held besides this one now.
        bool shared() const {
            MutexLock lock(budget_.mutex_);
            return budget_.used_ > pixels_;
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        PixelBudget& budget_;
        std::int64_t pixels_;
    };

private:
    const std::int64_t capacity_;
    mutable Mutex mutex_;
    CondVar freed_;
    std::int64_t used_ = 0;
};

}  // namespace lumivane
