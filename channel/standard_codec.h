#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "channel/encodable_value.h"
#include "runtime/result.h"

namespace lumivane {

// The engine's standard message codec, byte for byte: little-endian, type tags
// 0-14 (5, the retired big-integer tag, is refused), sizes as one byte, 254 +
// uint16 or 255 + uint32, doubles and typed lists aligned to their element size
// counted from the start of the whole buffer. Decoding never trusts its input:
// anything truncated, oversized, unknown, nested deeper than kMaxDepth or
// followed by stray bytes is an error, never a crash or an allocation larger
// than the input. Stateless; any thread.
class StandardMessageCodec {
public:
    static constexpr int kMaxDepth = 512;
    // Values in one message at most (a typed list counts as one).
    static constexpr std::size_t kMaxValues = 2u << 20;

    // A null message is zero bytes.
    static Bytes encodeMessage(const EncodableValue& value);
    // A message that does not decode is Error::Code::badInput, saying where.
    static Result<EncodableValue> decodeMessage(const std::uint8_t* data, std::size_t size);
    static Result<EncodableValue> decodeMessage(const Bytes& bytes) {
        return decodeMessage(bytes.data(), bytes.size());
    }

    // Appends one value to `out`, aligning against the start of `out`.
    static void writeValue(Bytes& out, const EncodableValue& value);
};

struct MethodCall {
    std::string method;
    EncodableValue arguments;
};

struct MethodError {
    std::string code;
    std::optional<std::string> message;
    EncodableValue details;
    bool operator==(const MethodError&) const = default;
};

// A decoded reply: a value, an error, or (no bytes at all) not implemented.
struct NotImplemented {
    bool operator==(const NotImplemented&) const = default;
};
using MethodResponse = std::variant<EncodableValue, MethodError, NotImplemented>;

// Method calls (name, then arguments) and reply envelopes (0x00 + value, or
// 0x01 + code + message + details; an empty reply is not implemented).
class StandardMethodCodec {
public:
    static Bytes encodeMethodCall(const MethodCall& call);
    static Result<MethodCall> decodeMethodCall(const std::uint8_t* data, std::size_t size);
    static Bytes encodeSuccessEnvelope(const EncodableValue& value);
    static Bytes encodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message = std::nullopt,
                                     const EncodableValue& details = EncodableValue());
    static Result<MethodResponse> decodeEnvelope(const std::uint8_t* data, std::size_t size);
};

}  // namespace lumivane
