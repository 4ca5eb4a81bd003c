#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/executor.h"
#include "runtime/mutex.h"

namespace lumivane {

// An elastic pool for work that blocks on device I/O: a task posted while every
// worker is busy gets a new worker (up to `maxWorkers`), so parallel device reads
// are never serialised behind each other. Workers idle for `idleRetire` retire.
// post() may be called from any thread. The destructor runs what is queued, then
// joins every worker. `mutex_` guards every field below it.
class ConcurrentQueue final : public Executor {
public:
    explicit ConcurrentQueue(std::string label, std::size_t maxWorkers = 64,
                             std::chrono::milliseconds idleRetire = std::chrono::seconds(5));
    ~ConcurrentQueue() override;
    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    const std::string& label() const { return label_; }
    std::size_t workerCount() const;

protected:
    void enqueue(std::function<void()> task, Origin origin) override;

private:
    void work();
    void reapFinished() LUMIVANE_REQUIRES(mutex_);

    std::string label_;
    std::size_t maxWorkers_;
    std::chrono::milliseconds idleRetire_;
    mutable Mutex mutex_;
    CondVar wake_;
    CondVar drained_;
    std::deque<std::function<void()>> tasks_ LUMIVANE_GUARDED_BY(mutex_);
    std::list<std::thread> workers_ LUMIVANE_GUARDED_BY(mutex_);
    std::deque<std::thread::id> finished_ LUMIVANE_GUARDED_BY(mutex_);  // retired workers not yet joined
    std::size_t live_ LUMIVANE_GUARDED_BY(mutex_) = 0;                  // workers running work()
    std::size_t idle_ LUMIVANE_GUARDED_BY(mutex_) = 0;                  // workers waiting for a task
    bool stopping_ LUMIVANE_GUARDED_BY(mutex_) = false;
};

}  // namespace lumivane
