#pragma once
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/common/media_types.h"
#include "platform/image_capture.h"
#include "runtime/mutex.h"

namespace lumivane {

// What every camera adapter says of its files the same way.

// A download's progress as the copying thread reports it. The observer and
// cancel may come from any thread; `lock_` guards the observer and orders it
// with the fraction. An observer that comes late is told the fraction reached.
class DownloadProgress final : public CameraProgress {
public:
    double fractionCompleted() const override { return fraction_; }
    void observe(std::function<void(double)> observer) override;
    void stopObserving() override;
    void cancel() override { cancelled_ = true; }
    bool cancelled() const { return cancelled_; }
    // The copying thread: a new fraction, told to the observer.
    void set(double fraction);

private:
    std::atomic<double> fraction_{0};
    std::atomic<bool> cancelled_{false};
    mutable Mutex lock_;
    std::function<void(double)> observer_ LUMIVANE_GUARDED_BY(lock_);
};

}  // namespace lumivane
