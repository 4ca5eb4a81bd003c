#pragma once
#include <memory>

#include "channel/event_channel.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The stream handler of "lumivane/macos/events": holds the one event sink
// while the interface listens. Every bridge sends its host events through it.
// One per host. onListen/onCancel/send on the main loop; post from any thread.
class EventHandler final : public StreamHandler, public std::enable_shared_from_this<EventHandler> {
public:
    explicit EventHandler(MainLoop& loop) : loop_(loop) {}

    std::optional<MethodError> onListen(const EncodableValue& arguments, std::unique_ptr<EventSink> sink_) override;
    std::optional<MethodError> onCancel(const EncodableValue& arguments) override;

    // Sends a host event ({"type": ..., ...}) now; dropped when nobody listens.
    void send(const EncodableMap& event);
    // Sends a host event from any thread: hops to the main loop first.
    void post(EncodableMap event);
    bool listening() const { return sink_ != nullptr; }

private:
    MainLoop& loop_;
    std::unique_ptr<EventSink> sink_;  // main loop only
};

}  // namespace lumivane
