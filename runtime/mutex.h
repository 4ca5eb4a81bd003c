#pragma once
#include <condition_variable>
#include <mutex>

// Lock rules that the compiler checks: clang's thread-safety analysis
// (-Wthread-safety, run by CI) fails the build where a field marked
// LUMIVANE_GUARDED_BY(m) is touched without `m` held, or a function marked
// LUMIVANE_REQUIRES(m) is called without it. Other compilers ignore the marks.
#if defined(__clang__)
#define LUMIVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LUMIVANE_THREAD_ANNOTATION(x)
#endif

#define LUMIVANE_CAPABILITY(x) LUMIVANE_THREAD_ANNOTATION(capability(x))
#define LUMIVANE_SCOPED_CAPABILITY LUMIVANE_THREAD_ANNOTATION(scoped_lockable)
#define LUMIVANE_GUARDED_BY(x) LUMIVANE_THREAD_ANNOTATION(guarded_by(x))
#define LUMIVANE_PT_GUARDED_BY(x) LUMIVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define LUMIVANE_REQUIRES(...) LUMIVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define LUMIVANE_EXCLUDES(...) LUMIVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LUMIVANE_ACQUIRE(...) LUMIVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define LUMIVANE_RELEASE(...) LUMIVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define LUMIVANE_TRY_ACQUIRE(...) LUMIVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define LUMIVANE_NO_THREAD_SAFETY_ANALYSIS LUMIVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace lumivane {

// A std::mutex the analysis knows. Any thread.
class LUMIVANE_CAPABILITY("mutex") Mutex {
public:
    void lock() LUMIVANE_ACQUIRE() { mutex_.lock(); }
    void unlock() LUMIVANE_RELEASE() { mutex_.unlock(); }
    bool try_lock() LUMIVANE_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    std::mutex mutex_;
};

// Holds a Mutex for its scope; unlock() and lock() let it go and take it again
// (around a call that must not run under it), and a CondVar waits on it.
class LUMIVANE_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) LUMIVANE_ACQUIRE(mutex) : lock_(mutex) {}
    ~MutexLock() LUMIVANE_RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() LUMIVANE_RELEASE() { lock_.unlock(); }
    void lock() LUMIVANE_ACQUIRE() { lock_.lock(); }

private:
    friend class CondVar;
    std::unique_lock<Mutex> lock_;
};

// A condition variable over a MutexLock. Any thread.
class CondVar {
public:
    void notify_one() { cv_.notify_one(); }
    void notify_all() { cv_.notify_all(); }
    // The predicate runs with the mutex held.
    template <typename Predicate>
    void wait(MutexLock& lock, Predicate ready) {
        cv_.wait(lock.lock_, ready);
    }
    template <typename Duration, typename Predicate>
    bool wait_for(MutexLock& lock, const Duration& timeout, Predicate ready) {
        return cv_.wait_for(lock.lock_, timeout, ready);
    }
    template <typename TimePoint, typename Predicate>
    bool wait_until(MutexLock& lock, const TimePoint& deadline, Predicate ready) {
        return cv_.wait_until(lock.lock_, deadline, ready);
    }
    template <typename TimePoint>
    std::cv_status wait_until(MutexLock& lock, const TimePoint& deadline) {
        return cv_.wait_until(lock.lock_, deadline);
    }

private:
    std::condition_variable_any cv_;
};

}  // namespace lumivane
