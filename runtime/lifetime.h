#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>
#include "runtime/mutex.h"

namespace lumivane {

// Whether an object still lives, for every callback that refers to it from
// another thread or comes back to it later: work posted to a queue, a device
// report, a copy's completion, a tool's answer, an HTTP handler. This is the
// one way callbacks that cross threads refer to their owner.
//
// The owner keeps a Lifetime as its last member, so that it ends before any
// other member goes, or ends it itself first thing in its destructor when what
// the destructor does next must not run guarded work. A callback made with
// guard() does nothing once the lifetime has ended, and end() waits until
// every guarded callback already running on another thread has returned: so
// such a callback may use every member of its owner for as long as it runs.
// Work that must still happen when its owner goes (a pending save) is not
// guarded work: the owner drains the queue holding it first thing in its
// destructor.
//
// A guarded callback must not wait for its owner's thread while that thread
// may be ending the lifetime (it would wait for itself); a guarded callback
// that ends its own owner's lifetime does not wait for itself.
//
// Threads: end() runs on the owner's thread; guarded callbacks and tokens may
// be copied, moved and run on any thread. `State::mutex` guards `alive` and
// `running`.
class Lifetime {
    struct State {
        Mutex mutex;
        CondVar idle;
        bool alive LUMIVANE_GUARDED_BY(mutex) = true;
        std::vector<std::thread::id> running LUMIVANE_GUARDED_BY(mutex);  // threads inside a guarded callback
    };

public:
    Lifetime() = default;
    ~Lifetime() { end(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    // The object is going: guarded callbacks do nothing from now on, and this
    // returns once those running on other threads have returned. Idempotent.
    void end() {
        MutexLock lock(state_->mutex);
        state_->alive = false;
        auto self = std::this_thread::get_id();
        State& state = *state_;
        state.idle.wait(lock, [&]() LUMIVANE_REQUIRES(state.mutex) {
            for (auto id : state.running)
                if (id != self) return false;
            return true;
        });
    }

    // Whether the owner still lives, asked on the owner's thread (a callback
    // that comes back to it on that thread and must also do something when
    // the owner is gone, such as letting a file go).
    class Token {
    public:
        explicit operator bool() const {
            MutexLock lock(state_->mutex);
            return state_->alive;
        }

    private:
        friend class Lifetime;
        explicit Token(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };
    Token token() const { return Token(state_); }

    // `work` that runs only while the owner lives; the owner does not end
    // while it runs. Once the owner is gone it answers a default value (a
    // stream's provider then says "no more").
    template <typename Work>
    auto guard(Work work) const {
        return guardWith(state_, std::move(work));
    }

    // The owner's life for an object the owner hands out, which may outlive
    // it (an import source a job holds): its guard() is the owner's own, so
    // what it guards may use the owner while it runs, and does nothing once
    // the owner is gone. Copied freely, on any thread.
    class Handle {
    public:
        template <typename Work>
        auto guard(Work work) const {
            return Lifetime::guardWith(state_, std::move(work));
        }

    private:
        friend class Lifetime;
        explicit Handle(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };
    Handle handle() const { return Handle(state_); }

private:
    template <typename Work>
    static auto guardWith(std::shared_ptr<State> state, Work work) {
        return [state = std::move(state), work = std::move(work)](auto&&... args) mutable {
            using Answer = decltype(work(std::forward<decltype(args)>(args)...));
            Running running(*state);
            if (!running.entered) {
                if constexpr (std::is_void_v<Answer>)
                    return;
                else
                    return Answer{};
            }
            return work(std::forward<decltype(args)>(args)...);
        };
    }

    // A guarded callback's stay inside its owner's life.
    struct Running {
        explicit Running(State& state) : state(state) {
            MutexLock lock(state.mutex);
            entered = state.alive;
            if (entered) state.running.push_back(std::this_thread::get_id());
        }
        ~Running() {
            if (!entered) return;
            MutexLock lock(state.mutex);
            auto& ids = state.running;
            for (auto it = ids.begin(); it != ids.end(); ++it)
                if (*it == std::this_thread::get_id()) {
                    ids.erase(it);
                    break;
                }
            state.idle.notify_all();
        }
        State& state;
        bool entered = false;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace lumivane
