#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "channel/standard_codec.h"

namespace lumivane {

// Sends the reply to one incoming message; an empty reply means "not implemented".
using BinaryReply = std::function<void(Bytes reply)>;
using BinaryMessageHandler = std::function<void(const Bytes& message, BinaryReply reply)>;

// The engine's message pipe, as the host's channels see it. Main loop only.
class BinaryMessenger {
public:
    virtual ~BinaryMessenger() = default;
    // A message to the interface that expects no reply (events).
    virtual void send(const std::string& channel, Bytes message) = 0;
    // One handler per channel; an empty function removes it.
    virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

// The host's messenger: channels register handlers; the transport (the socket
// server, or a test) delivers incoming messages and carries outgoing ones.
// Main loop only.
class HostMessenger final : public BinaryMessenger {
public:
    using Outbound = std::function<void(const std::string& channel, Bytes message)>;

    void send(const std::string& channel, Bytes message) override;
    void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

    // Hands an incoming message to its channel's handler; a channel nobody
    // handles gets an empty reply at once.
    void deliver(const std::string& channel, const Bytes& message, BinaryReply reply);
    // Where outgoing messages go; without one they are dropped.
    void setOutbound(Outbound outbound) { outbound_ = std::move(outbound); }
    bool hasHandler(const std::string& channel) const { return handlers_.count(channel) > 0; }

private:
    std::unordered_map<std::string, BinaryMessageHandler> handlers_;
    Outbound outbound_;
};

}  // namespace lumivane
