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
// Answer it once (the MethodResult catches a second answer). A result whose
// last copy goes unanswered (work cancelled at shutdown) is let go on the
// main loop too, since a MethodResult belongs to it.
class PendingResult {
public:
    PendingResult(MethodResult result, MainLoop& loop)
        : result_(new MethodResult(std::move(result)),
                  [&loop](MethodResult* last) {
                      if (loop.isCurrent())
                          delete last;
                      else
                          loop.post([owned = std::shared_ptr<MethodResult>(last)] {});
                  }),
          loop_(&loop) {}

    // Any thread.
    void success(EncodableValue value = EncodableValue()) const {
        loop_->post([result = result_, value = std::move(value)] { result->success(value); });
    }
    // Any thread.
    void success(EncodedAnswer answer) const {
        loop_->post([result = result_, answer = std::move(answer)]() mutable { result->success(std::move(answer)); });
    }
    // Any thread: a failure as the channel error `code`, its message the error's own.
    void error(std::string code, const Error& failure) const { error(std::move(code), failure.message); }
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
