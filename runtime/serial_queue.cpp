#include "runtime/serial_queue.h"

#include <pthread.h>
#include "runtime/mutex.h"

namespace lumivane {

void nameCurrentThread(const std::string& label) { pthread_setname_np(pthread_self(), label.substr(0, 15).c_str()); }

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { loop(); });
}

SerialQueue::~SerialQueue() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SerialQueue::enqueue(std::function<void()> task, Origin) {
    {
        MutexLock lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::loop() {
    nameCurrentThread(label_);
    for (;;) {
        std::function<void()> task;
        {
            MutexLock lock(mutex_);
            wake_.wait(lock, [this]() LUMIVANE_REQUIRES(mutex_) { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace lumivane
