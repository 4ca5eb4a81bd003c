#pragma once
#include <functional>
#include <memory>

#include "runtime/main_loop.h"

namespace lumivane {

// Reports that an object posts to its delegate on the main loop, delivered
// only while the object has not been stopped (or destroyed) since: cancel()
// drops the token every posted report holds. The object owns its reporter and
// cancels it when it stops and when it goes. Main loop only.
template <typename Delegate>
class PostedReports {
public:
    // `delegate` is the object's delegate field, read when the report runs.
    void post(MainLoop& loop, Delegate* const& delegate, std::function<void(Delegate&)> report) {
        if (!token_) token_ = std::make_shared<int>(0);
        loop.post([alive = std::weak_ptr<int>(token_), &delegate, report = std::move(report)] {
            if (!alive.expired() && delegate) report(*delegate);
        });
    }
    void cancel() { token_.reset(); }

private:
    std::shared_ptr<int> token_;
};

}  // namespace lumivane
