#pragma once
#include <functional>

namespace lumivane {

// Anything that runs posted tasks: the main loop and the dispatch queues.
// post() may be called from any thread.
class Executor {
public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> task) = 0;
};

}  // namespace lumivane
