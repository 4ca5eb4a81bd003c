#include "runtime/concurrent_queue.h"

#include <algorithm>

#include "runtime/mutex.h"
#include "runtime/serial_queue.h"

namespace lumivane {

ConcurrentQueue::ConcurrentQueue(std::string label, std::size_t maxWorkers, std::chrono::milliseconds idleRetire)
    : label_(std::move(label)), maxWorkers_(std::max<std::size_t>(1, maxWorkers)), idleRetire_(idleRetire) {}

ConcurrentQueue::~ConcurrentQueue() {
    std::list<std::thread> workers;
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        drained_.wait(lock, [this]() LUMIVANE_REQUIRES(mutex_) { return live_ == 0; });
        workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
}

void ConcurrentQueue::enqueue(std::function<void()> task, Origin) {
    MutexLock lock(mutex_);
    reapFinished();
    tasks_.push_back(std::move(task));
    if (idle_ >= tasks_.size() || live_ >= maxWorkers_) {
        wake_.notify_one();
        return;
    }
    ++live_;
    workers_.emplace_back([this] { work(); });
}

std::size_t ConcurrentQueue::workerCount() const {
    MutexLock lock(mutex_);
    return live_;
}

void ConcurrentQueue::reapFinished() {
    while (!finished_.empty()) {
        auto id = finished_.front();
        finished_.pop_front();
        for (auto it = workers_.begin(); it != workers_.end(); ++it) {
            if (it->get_id() == id) {
                it->join();  // the worker has left work(); join returns at once
                workers_.erase(it);
                break;
            }
        }
    }
}

void ConcurrentQueue::work() {
    nameCurrentThread(label_);
    MutexLock lock(mutex_);
    for (;;) {
        if (tasks_.empty()) {
            if (stopping_) break;
            ++idle_;
            bool woke = wake_.wait_for(lock, idleRetire_,
                                       [this]() LUMIVANE_REQUIRES(mutex_) { return stopping_ || !tasks_.empty(); });
            --idle_;
            if (!woke) break;  // idle too long: retire
            continue;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
    --live_;
    if (stopping_) {
        drained_.notify_all();
    } else {
        finished_.push_back(std::this_thread::get_id());
    }
}

}  // namespace lumivane
