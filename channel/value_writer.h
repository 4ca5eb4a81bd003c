#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channel/encodable_value.h"

namespace lumivane {

// Writes standard-codec values piece by piece into a byte buffer, for answers
// too large to build as EncodableValues first (a listing of a hundred
// thousand files is encoded straight from the scan that made it). The bytes
// are exactly those StandardMessageCodec writes for the same value; alignment
// counts from the start of the buffer, so a writer over a reply envelope
// starts after its first byte. Writes where it is called; not thread-safe.
class ValueWriter {
public:
    explicit ValueWriter(Bytes& out) : out_(out) {}

    void null();
    void boolean(bool value);
    // As the engine writes an integer: the smallest type that holds it.
    void integer(std::int64_t value);
    void float64(double value);
    // Text that is not UTF-8 travels as wireText() gives it.
    void string(std::string_view text);
    void bytes(const std::uint8_t* data, std::size_t size);
    // A list of `count` values, or a map of `count` key-value pairs: the
    // caller writes them next.
    void list(std::size_t count);
    void map(std::size_t count);
    // A byte list's tag and size; the caller appends the `size` bytes.
    void bytesHeader(std::size_t size);
    // Any value, as a whole.
    void value(const EncodableValue& value);

    Bytes& out() { return out_; }

private:
    void size(std::size_t size);
    void align(std::size_t alignment);
    template <typename T>
    void raw(T value);
    template <typename T>
    void typed(std::uint8_t tag, const std::vector<T>& items);

    Bytes& out_;
};

}  // namespace lumivane
