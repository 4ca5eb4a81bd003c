#include "channel/binary_messenger.h"

namespace lumivane {

void HostMessenger::send(const std::string& channel, Bytes message) {
    if (outbound_) outbound_(channel, std::move(message));
}

void HostMessenger::setMessageHandler(const std::string& channel, BinaryMessageHandler handler) {
    if (handler)
        handlers_[channel] = std::move(handler);
    else
        handlers_.erase(channel);
}

void HostMessenger::deliver(const std::string& channel, const Bytes& message, BinaryReply reply) {
    auto it = handlers_.find(channel);
    if (it == handlers_.end()) {
        reply(Bytes());
        return;
    }
    // A copy, so a handler that replaces itself does not destroy the running function.
    auto handler = it->second;
    handler(message, std::move(reply));
}

}  // namespace lumivane
