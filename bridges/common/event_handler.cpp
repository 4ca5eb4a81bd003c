#include "bridges/common/event_handler.h"

namespace lumivane {

std::optional<MethodError> EventHandler::onListen(const EncodableValue&, std::unique_ptr<EventSink> newSink) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    sink_ = std::move(newSink);
    return std::nullopt;
}

std::optional<MethodError> EventHandler::onCancel(const EncodableValue&) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    sink_.reset();
    return std::nullopt;
}

void EventHandler::send(const EncodableMap& event) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    if (sink_) sink_->success(event);
}

void EventHandler::post(EncodableMap event) {
    loop_.post([weak = weak_from_this(), event = std::move(event)] {
        if (auto self = weak.lock()) self->send(event);
    });
}

}  // namespace lumivane
