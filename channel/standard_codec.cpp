#include "channel/standard_codec.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "channel/codec_tags.h"
#include "channel/value_writer.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

using namespace codec;

// A declared element count is only a hint: a value takes far more memory than
// its one-byte encoding, so beyond this, storage grows with what is decoded.
constexpr std::size_t kMaxReserve = 1024;

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return pos_ == size_; }
    const std::string& error() const { return error_; }

    bool fail(std::string message) {
        if (error_.empty()) error_ = std::move(message) + " at byte " + std::to_string(pos_);
        return false;
    }

    bool readByte(std::uint8_t& out) {
        if (pos_ >= size_) return fail("truncated message");
        out = data_[pos_++];
        return true;
    }

    template <typename T>
    bool readRaw(T& out) {
        if (size_ - pos_ < sizeof(T)) return fail("truncated message");
        std::memcpy(&out, data_ + pos_, sizeof(T));
        pos_ += sizeof(T);
        return true;
    }

    bool readSize(std::size_t& out) {
        std::uint8_t first;
        if (!readByte(first)) return false;
        if (first < 254) {
            out = first;
        } else if (first == 254) {
            std::uint16_t v;
            if (!readRaw(v)) return false;
            out = v;
        } else {
            std::uint32_t v;
            if (!readRaw(v)) return false;
            out = v;
        }
        return true;
    }

    bool skipAlign(std::size_t alignment) {
        std::size_t rem = pos_ % alignment;
        if (!rem) return true;
        std::size_t pad = alignment - rem;
        if (size_ - pos_ < pad) return fail("truncated padding");
        pos_ += pad;
        return true;
    }

    // Checks that `count` elements of `unit` bytes fit in what is left, before
    // anything is allocated for them.
    bool fits(std::size_t count, std::size_t unit) {
        if (count > (size_ - pos_) / unit) return fail("declared size past the end");
        return true;
    }

    template <typename T>
    bool readTyped(EncodableValue& out) {
        std::size_t count;
        if (!readSize(count) || !skipAlign(sizeof(T)) || !fits(count, sizeof(T))) return false;
        std::vector<T> items(count);
        if (count) std::memcpy(items.data(), data_ + pos_, count * sizeof(T));
        pos_ += count * sizeof(T);
        out = std::move(items);
        return true;
    }

    bool readValue(EncodableValue& out, int depth) {
        // Each value costs far more memory than the byte it may take on the
        // wire: a message of that many nulls must not cost gigabytes.
        if (++values_ > StandardMessageCodec::kMaxValues) return fail("too many values");
        std::uint8_t tag;
        if (!readByte(tag)) return false;
        switch (tag) {
            case kNull: out = EncodableValue(); return true;
            case kTrue: out = true; return true;
            case kFalse: out = false; return true;
            case kInt32: {
                std::int32_t v;
                if (!readRaw(v)) return false;
                out = v;
                return true;
            }
            case kInt64: {
                std::int64_t v;
                if (!readRaw(v)) return false;
                // One form per number, as the encoder writes it: an int64 that
                // fits is an int32, so that int64 0 and int32 0 are one map key
                // and decoding what was decoded and encoded changes nothing.
                if (v >= INT32_MIN && v <= INT32_MAX)
                    out = static_cast<std::int32_t>(v);
                else
                    out = v;
                return true;
            }
            case kFloat64: {
                double v;
                if (!skipAlign(8) || !readRaw(v)) return false;
                out = v;
                return true;
            }
            case kString: {
                std::size_t n;
                if (!readSize(n) || !fits(n, 1)) return false;
                // Bytes that were not UTF-8 travel as private-use characters.
                std::string_view text(reinterpret_cast<const char*>(data_ + pos_), n);
                if (text.find('\xEF') == std::string_view::npos)
                    out = std::string(text);
                else
                    out = rawText(text);
                pos_ += n;
                return true;
            }
            case kUInt8List: {
                std::size_t n;
                if (!readSize(n) || !fits(n, 1)) return false;
                out = Bytes(data_ + pos_, data_ + pos_ + n);
                pos_ += n;
                return true;
            }
            case kInt32List: return readTyped<std::int32_t>(out);
            case kInt64List: return readTyped<std::int64_t>(out);
            case kFloat64List: return readTyped<double>(out);
            case kFloat32List: return readTyped<float>(out);
            case kList: {
                if (depth >= StandardMessageCodec::kMaxDepth) return fail("nesting too deep");
                std::size_t n;
                if (!readSize(n) || !fits(n, 1)) return false;  // every element takes a byte at least
                EncodableList list;
                list.reserve(std::min<std::size_t>(n, kMaxReserve));
                for (std::size_t i = 0; i < n; ++i) {
                    if (!readValue(list.emplace_back(), depth + 1)) return false;
                }
                out = std::move(list);
                return true;
            }
            case kMap: {
                if (depth >= StandardMessageCodec::kMaxDepth) return fail("nesting too deep");
                std::size_t n;
                if (!readSize(n) || !fits(n, 2)) return false;
                EncodableMap map;
                map.reserve(std::min<std::size_t>(n, kMaxReserve));
                for (std::size_t i = 0; i < n; ++i) {
                    EncodableValue key, value;
                    if (!readValue(key, depth + 1) || !readValue(value, depth + 1)) return false;
                    map.set(std::move(key), std::move(value));
                }
                out = std::move(map);
                return true;
            }
            default: --pos_; return fail("unknown type tag " + std::to_string(tag));
        }
    }

    bool readAll(EncodableValue& out) { return readValue(out, 0); }

    bool expectEnd() { return atEnd() || fail("trailing bytes"); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t values_ = 0;
    std::size_t pos_ = 0;
    std::string error_;
};

Error malformed(const std::string& why) { return Error(Error::Code::badInput, why); }

}  // namespace

void StandardMessageCodec::writeValue(Bytes& out, const EncodableValue& value) { ValueWriter(out).value(value); }

Bytes StandardMessageCodec::encodeMessage(const EncodableValue& value) {
    Bytes out;
    if (value.isNull()) return out;
    writeValue(out, value);
    return out;
}

Result<EncodableValue> StandardMessageCodec::decodeMessage(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return EncodableValue();
    Reader reader(data, size);
    EncodableValue value;
    if (!reader.readAll(value) || !reader.expectEnd()) return malformed(reader.error());
    return value;
}

Bytes StandardMethodCodec::encodeMethodCall(const MethodCall& call) {
    Bytes out;
    StandardMessageCodec::writeValue(out, EncodableValue(call.method));
    StandardMessageCodec::writeValue(out, call.arguments);
    return out;
}

Result<MethodCall> StandardMethodCodec::decodeMethodCall(const std::uint8_t* data, std::size_t size) {
    Reader reader(data, size);
    EncodableValue name, arguments;
    if (!reader.readAll(name)) return malformed(reader.error());
    auto* method = name.get<std::string>();
    if (!method) return malformed("method name is not a string");
    if (!reader.atEnd() && !reader.readAll(arguments)) return malformed(reader.error());
    if (!reader.expectEnd()) return malformed(reader.error());
    return MethodCall{*method, std::move(arguments)};
}

Bytes StandardMethodCodec::encodeSuccessEnvelope(const EncodableValue& value) {
    Bytes out{0};
    StandardMessageCodec::writeValue(out, value);
    return out;
}

Bytes StandardMethodCodec::encodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message,
                                               const EncodableValue& details) {
    Bytes out{1};
    StandardMessageCodec::writeValue(out, EncodableValue(code));
    StandardMessageCodec::writeValue(out, message ? EncodableValue(*message) : EncodableValue());
    StandardMessageCodec::writeValue(out, details);
    return out;
}

Result<MethodResponse> StandardMethodCodec::decodeEnvelope(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return MethodResponse(NotImplemented{});
    // Alignment counts from the envelope's first byte, so read from the whole buffer.
    Reader whole(data, size);
    std::uint8_t kind;
    whole.readByte(kind);
    if (kind == 0) {
        EncodableValue value;
        if (!whole.readAll(value) || !whole.expectEnd()) return malformed(whole.error());
        return MethodResponse(std::move(value));
    }
    if (kind == 1) {
        EncodableValue code, message, details;
        if (!whole.readAll(code) || !whole.readAll(message) || !whole.readAll(details) || !whole.expectEnd())
            return malformed(whole.error());
        auto* codeText = code.get<std::string>();
        auto* messageText = message.get<std::string>();
        if (!codeText || (!message.isNull() && !messageText)) return malformed("malformed error envelope");
        MethodError result{*codeText, messageText ? std::optional<std::string>(*messageText) : std::nullopt,
                           std::move(details)};
        return MethodResponse(std::move(result));
    }
    return malformed("unknown envelope kind " + std::to_string(kind));
}

}  // namespace lumivane
