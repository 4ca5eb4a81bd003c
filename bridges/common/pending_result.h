#pragma once
#include <memory>
#include <optional>
#include <string>

#include "channel/method_result.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The answer of a call whose work runs on another queue. Copyable, so that it
// rides along in queued tasks; answering from any thread hops to the main
// loop first, where the one MethodResult behind every copy is answered.
// Answer it once (the MethodResult catches a second answer).
class PendingResult {
public:
    PendingResult(MethodResult result, MainLoop& loop)
        : result_(std::make_shared<MethodResult>(std::move(result))), loop_(&loop) {}

    // Any thread.
    void success(EncodableValue value = EncodableValue()) const {
        loop_->post([result = result_, value = std::move(value)] { result->success(value); });
    }
    // Any thread.
    void error(std::string code, std::string message) const {
        loop_->post(
            [result = result_, code = std::move(code), message = std::move(message)] { result->error(code, message); });
    }

private:
    std::shared_ptr<MethodResult> result_;
    MainLoop* loop_;
};

}  // namespace lumivane
