#pragma once
#include <atomic>
#include <chrono>

namespace lumivane {

// Steady time for throttles and rate limits, wall time for stamps.
// Every method may be called from any thread.
class Clock {
public:
    using Steady = std::chrono::steady_clock::time_point;
    using Wall = std::chrono::system_clock::time_point;
    virtual ~Clock() = default;
    virtual Steady steadyNow() const = 0;
    virtual Wall wallNow() const = 0;
};

class SystemClock final : public Clock {
public:
    Steady steadyNow() const override { return std::chrono::steady_clock::now(); }
    Wall wallNow() const override { return std::chrono::system_clock::now(); }
};

// A clock that only moves when a test says so. Both times move together.
class ManualClock final : public Clock {
public:
    Steady steadyNow() const override { return Steady(std::chrono::nanoseconds(offset_.load())); }
    Wall wallNow() const override {
        return Wall(std::chrono::duration_cast<Wall::duration>(std::chrono::nanoseconds(wallBase_ + offset_.load())));
    }
    void advance(std::chrono::nanoseconds by) { offset_ += by.count(); }

private:
    std::atomic<long long> offset_{1'000'000'000};  // steady time never starts at zero
    long long wallBase_ = 1'700'000'000'000'000'000LL;
};

}  // namespace lumivane
