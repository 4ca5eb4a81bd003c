#include "channel/method_result.h"

#include <cstdlib>
#include <exception>

namespace lumivane {

MethodResult::MethodResult(std::string method, BinaryReply reply, Log& log)
    : state_(std::make_shared<MethodResultState>(MethodResultState{std::move(method), std::move(reply), &log})) {}

MethodResult& MethodResult::operator=(MethodResult&& other) noexcept {
    if (this != &other) {
        finish();
        state_ = std::move(other.state_);
    }
    return *this;
}

MethodResult::~MethodResult() { finish(); }

void MethodResult::finish() {
    if (!state_ || state_->answered) return;
    // Unwinding out of a handler: the dispatcher's guard answers with the error.
    if (std::uncaught_exceptions() > 0 && state_.use_count() > 1) return;
    state_->log->write("Lumivane: no answer was given to \"" + state_->method + "\"");
    answer(Bytes());
}

void MethodResult::answer(Bytes envelope) {
    if (!state_) return;  // moved from
    if (state_->abandoned) return;
    if (state_->answered) {
        state_->log->write("Lumivane: \"" + state_->method + "\" was answered twice");
#ifndef NDEBUG
        std::abort();
#endif
        return;
    }
    state_->answered = true;
    state_->reply(std::move(envelope));
}

void MethodResult::success(const EncodableValue& value) { answer(StandardMethodCodec::encodeSuccessEnvelope(value)); }

void MethodResult::success(EncodedAnswer encoded) { answer(std::move(encoded.envelope)); }

EncodedAnswer EncodedAnswer::of(const EncodableValue& value) {
    return {StandardMethodCodec::encodeSuccessEnvelope(value)};
}

EncodedAnswer EncodedAnswer::written(const std::function<void(ValueWriter&)>& write, std::size_t sizeHint) {
    EncodedAnswer answer;
    answer.envelope.reserve(sizeHint + 1);
    answer.envelope.push_back(0);  // a success; the value's alignment counts from this byte
    ValueWriter writer(answer.envelope);
    write(writer);
    return answer;
}

void MethodResult::error(const std::string& code, const std::optional<std::string>& message,
                         const EncodableValue& details) {
    answer(StandardMethodCodec::encodeErrorEnvelope(code, message, details));
}

void MethodResult::notImplemented() { answer(Bytes()); }

MethodResult::Guard MethodResult::guard() const {
    Guard guard;
    guard.state_ = state_;
    return guard;
}

void MethodResult::Guard::failed(const std::string& what) const {
    if (!state_) return;
    state_->log->write("Lumivane: \"" + state_->method + "\" failed: " + what);
    if (state_->answered) return;
    state_->answered = true;
    state_->abandoned = true;
    state_->reply(StandardMethodCodec::encodeErrorEnvelope(
        "internal_error", "The host could not complete \"" + state_->method + "\".", EncodableValue()));
}

}  // namespace lumivane
