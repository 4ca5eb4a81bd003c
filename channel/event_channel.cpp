#include "channel/event_channel.h"

namespace lumivane {

void EventSink::success(const EncodableValue& event) {
    messenger_.send(channel_, StandardMethodCodec::encodeSuccessEnvelope(event));
}

void EventSink::error(const std::string& code, const std::optional<std::string>& message,
                      const EncodableValue& details) {
    messenger_.send(channel_, StandardMethodCodec::encodeErrorEnvelope(code, message, details));
}

void EventSink::endOfStream() { messenger_.send(channel_, Bytes()); }

EventChannel::EventChannel(BinaryMessenger& messenger, std::string name, Log& log)
    : messenger_(messenger), name_(name), calls_(messenger, std::move(name), log) {}

void EventChannel::setStreamHandler(std::shared_ptr<StreamHandler> handler) {
    if (!handler) {
        calls_.setMethodCallHandler(nullptr);
        return;
    }
    // The channel's handler lives in the messenger: it holds what it needs
    // itself rather than this channel.
    calls_.setMethodCallHandler(
        [&messenger = messenger_, name = name_, handler](const MethodCall& call, MethodResult result) {
            std::optional<MethodError> failure;
            if (call.method == "listen") {
                failure = handler->onListen(call.arguments, std::make_unique<EventSink>(messenger, name));
            } else if (call.method == "cancel") {
                failure = handler->onCancel(call.arguments);
            } else {
                result.notImplemented();
                return;
            }
            if (failure)
                result.error(failure->code, failure->message, failure->details);
            else
                result.success();
        });
}

}  // namespace lumivane
