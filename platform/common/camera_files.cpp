#include "platform/common/camera_files.h"

#include <algorithm>
#include <cctype>
#include <map>
#include "runtime/mutex.h"

namespace lumivane {

namespace fs = std::filesystem;

void DownloadProgress::observe(std::function<void(double)> observer) {
    double reached;
    {
        MutexLock guard(lock_);
        observer_ = observer;
        reached = fraction_;
    }
    // A copy that moved on (or finished) before anyone observed it is told
    // at once, so the last fraction (the whole file) is never missed.
    if (observer && reached > 0) observer(reached);
}

void DownloadProgress::stopObserving() {
    MutexLock guard(lock_);
    observer_ = nullptr;
}

void DownloadProgress::set(double fraction) {
    std::function<void(double)> observer;
    {
        MutexLock guard(lock_);
        fraction_ = fraction;
        observer = observer_;
    }
    if (observer) observer(fraction);
}

}  // namespace lumivane
