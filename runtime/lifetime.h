#pragma once
#include <memory>
#include <utility>

namespace lumivane {

// Whether an object still lives, for work that comes back to it on its own
// thread after crossing to another (a device report, a copy's completion, a
// tool's answer). The object keeps a Lifetime as its last member, so that it
// ends before any other member goes, or ends it itself first thing in its
// destructor when what the destructor does next may post such work. A
// callback made with guard(), or one that asks a token(), then does nothing
// once the object is gone.
//
// Threads: end(), asking a token and running a guarded callback happen on
// the owner's thread (the main loop); tokens and guarded callbacks may be
// copied and moved on any thread.
class Lifetime {
public:
    Lifetime() = default;
    ~Lifetime() { end(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    // The object is going: guarded callbacks do nothing from now on. Idempotent.
    void end() { *alive_ = false; }

    class Token {
    public:
        explicit operator bool() const { return *alive_; }

    private:
        friend class Lifetime;
        explicit Token(std::shared_ptr<const bool> alive) : alive_(std::move(alive)) {}
        std::shared_ptr<const bool> alive_;
    };
    // Asked on the owner's thread: whether the owner still lives.
    Token token() const { return Token(alive_); }

    // `work` that runs only while the owner lives.
    template <typename Work>
    auto guard(Work work) const {
        return [alive = token(), work = std::move(work)](auto&&... args) mutable {
            if (alive) work(std::forward<decltype(args)>(args)...);
        };
    }

private:
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace lumivane
