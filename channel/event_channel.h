#pragma once
#include <memory>
#include <optional>
#include <string>

#include "channel/binary_messenger.h"
#include "channel/method_channel.h"

namespace lumivane {

// Sends events to the side that listens on one event channel. Main loop only.
class EventSink {
public:
    EventSink(BinaryMessenger& messenger, std::string channel) : messenger_(messenger), channel_(std::move(channel)) {}
    void success(const EncodableValue& event);
    void error(const std::string& code, const std::optional<std::string>& message = std::nullopt,
               const EncodableValue& details = EncodableValue());
    void endOfStream();

private:
    BinaryMessenger& messenger_;
    std::string channel_;
};

// Called on the main loop when the interface starts or stops listening. An
// answer of an error is sent back to the "listen"/"cancel" call.
class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    virtual std::optional<MethodError> onListen(const EncodableValue& arguments, std::unique_ptr<EventSink> sink) = 0;
    virtual std::optional<MethodError> onCancel(const EncodableValue& arguments) = 0;
};

// An event channel: "listen" and "cancel" calls arrive on its own name; events
// go out as success envelopes. A second listen hands the handler a new sink.
// Main loop only. The handler must outlive the channel or be replaced first.
class EventChannel {
public:
    EventChannel(BinaryMessenger& messenger, std::string name, Log& log);
    void setStreamHandler(std::shared_ptr<StreamHandler> handler);
    const std::string& name() const { return name_; }

private:
    BinaryMessenger& messenger_;
    std::string name_;
    MethodChannel calls_;
};

}  // namespace lumivane
