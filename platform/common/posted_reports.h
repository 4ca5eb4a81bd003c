#pragma once
#include <functional>
#include <memory>

#include "runtime/lifetime.h"
#include "runtime/main_loop.h"

namespace lumivane {

// Reports that an object posts to its delegate on the main loop, delivered
// only while the object has not been stopped (or destroyed) since: cancel()
// ends the lifetime every posted report is guarded by, and the next post
// starts a new one. The object owns its reporter and cancels it when it stops
// and when it goes. Main loop only.
template <typename Delegate>
class PostedReports {
public:
    // `delegate` is the object's delegate field, read when the report runs.
    void post(MainLoop& loop, Delegate* const& delegate, std::function<void(Delegate&)> report) {
        if (!lifetime_) lifetime_ = std::make_unique<Lifetime>();
        loop.post(lifetime_->guard([&delegate, report = std::move(report)] {
            if (delegate) report(*delegate);
        }));
    }
    void cancel() { lifetime_.reset(); }

private:
    std::unique_ptr<Lifetime> lifetime_;
};

}  // namespace lumivane
