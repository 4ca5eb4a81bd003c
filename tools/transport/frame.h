#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "channel/standard_codec.h"
#include "runtime/result.h"
#include "runtime/socket_io.h"

namespace lumivane {

// One frame of the host socket: a u32 little-endian length of the rest, then a
// standard-codec list [kind, id, channel, payload]. Kind 0 is a message, kind 1
// the reply to the message with the same id; the host's own messages (events)
// carry id 0 and expect no reply. A null payload is an empty message, so "not
// implemented" travels as null. Stateless; any thread.
struct Frame {
    enum Kind : std::int64_t { kMessage = 0, kReply = 1 };
    std::int64_t kind = kMessage;
    std::int64_t id = 0;
    std::string channel;
    Bytes payload;  // empty = null on the wire

    static constexpr std::size_t kMaxSize = 64u << 20;

    // The whole frame, length prefix included; a frame that is an rvalue
    // gives up its payload's buffer to it.
    Bytes encode() const&;
    Bytes encode() &&;
    // Decodes what follows the length prefix.
    // A body that is no frame is Error::Code::badInput, saying why.
    static Result<Frame> decode(const std::uint8_t* data, std::size_t size);
};

// Reads one frame. Fails with Error::Code::unavailable when the peer closed
// cleanly before a frame began, and with a message saying which fault on any
// other.
Result<Frame> readFrame(int fd);

}  // namespace lumivane
