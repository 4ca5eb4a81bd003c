#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/error.h"

#include "channel/binary_messenger.h"
#include "channel/encodable_value.h"
#include "channel/value_writer.h"
#include "runtime/log.h"

namespace lumivane {

// A success answer encoded ahead, on any thread, and given later by
// MethodResult::success: encoding a large answer then costs the main loop
// nothing. Movable.
struct EncodedAnswer {
    Bytes envelope;

    static EncodedAnswer of(const EncodableValue& value);
    // `write` writes the value straight into the answer, for values too large
    // to build as an EncodableValue first; `sizeHint` bytes are reserved.
    static EncodedAnswer written(const std::function<void(ValueWriter&)>& write, std::size_t sizeHint = 0);
};

// One call's answer state, shared by the result and the dispatcher's guard.
// Main loop only.
struct MethodResultState {
    std::string method;
    BinaryReply reply;
    Log* log;
    bool answered = false;
    bool abandoned = false;  // answered by the guard: later answers are dropped quietly
};

// The answer to one method call: a value, a channel error, or not implemented.
// Move-only and answered exactly once, on the main loop (work on other queues
// hops back first). A second answer aborts debug builds and is dropped with a
// log line otherwise; a result destroyed unanswered logs a line and answers
// not implemented, so the caller is never left waiting.
class MethodResult {
public:
    MethodResult(std::string method, BinaryReply reply, Log& log);
    MethodResult(MethodResult&&) noexcept = default;
    MethodResult& operator=(MethodResult&&) noexcept;
    MethodResult(const MethodResult&) = delete;
    MethodResult& operator=(const MethodResult&) = delete;
    ~MethodResult();

    void success(const EncodableValue& value = EncodableValue());
    void success(EncodedAnswer answer);
    void error(const std::string& code, const std::optional<std::string>& message = std::nullopt,
               const EncodableValue& details = EncodableValue());
    // A failure as the channel error `code` the callers of a method know,
    // its message the error's own.
    void error(const std::string& code, const Error& failure) { error(code, failure.message); }
    void notImplemented();

    bool answered() const { return !state_ || state_->answered; }
    const std::string& method() const { return state_->method; }

    // What the dispatcher keeps of a call while its handler runs: if the
    // handler throws, the call is answered with an "internal_error" (once)
    // and whatever answer the handler's work gives later is dropped quietly.
    class Guard {
    public:
        // Answers the call with the error unless it was answered already.
        void failed(const std::string& what) const;

    private:
        friend class MethodResult;
        std::shared_ptr<MethodResultState> state_;
    };
    Guard guard() const;

private:
    void answer(Bytes envelope);
    void finish();

    std::shared_ptr<MethodResultState> state_;
};

}  // namespace lumivane
