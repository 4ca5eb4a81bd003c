#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/executor.h"
#include "runtime/mutex.h"

namespace lumivane {

// Tasks run one at a time, in order, on the queue's own thread, which is named
// after the label. post() may be called from any thread, including the queue's
// own. The destructor runs what is already queued, then joins the thread.
// `mutex_` guards `tasks_` and `stopping_`.
class SerialQueue final : public Executor {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

protected:
    void enqueue(std::function<void()> task, Origin origin) override;

private:
    void loop();

    std::string label_;
    Mutex mutex_;
    CondVar wake_;
    std::deque<std::function<void()>> tasks_ LUMIVANE_GUARDED_BY(mutex_);
    bool stopping_ LUMIVANE_GUARDED_BY(mutex_) = false;
    std::thread thread_;
};

// Names the calling thread (Linux keeps the first 15 bytes).
void nameCurrentThread(const std::string& label);

}  // namespace lumivane
