#pragma once
#include <functional>

#include "runtime/origin.h"

namespace lumivane {

// Anything that runs posted tasks: the main loop and the dispatch queues.
// post() may be called from any thread; `origin`, where the task was posted,
// names it to the main loop's guard of long tasks.
class Executor {
public:
    virtual ~Executor() = default;
    void post(std::function<void()> task, Origin origin = Origin::current()) { enqueue(std::move(task), origin); }

protected:
    virtual void enqueue(std::function<void()> task, Origin origin) = 0;
};

}  // namespace lumivane
