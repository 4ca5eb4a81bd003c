#include "channel/value_writer.h"

#include <cstring>
#include <limits>

#include "channel/codec_tags.h"
#include "runtime/utf8.h"

namespace lumivane {

using namespace codec;  // the tags

template <typename T>
void ValueWriter::raw(T value) {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // the host is little-endian, as the codec
    out_.insert(out_.end(), bytes, bytes + sizeof(T));
}

void ValueWriter::size(std::size_t size) {
    if (size < 254) {
        out_.push_back(static_cast<std::uint8_t>(size));
    } else if (size <= 0xffff) {
        out_.push_back(254);
        raw<std::uint16_t>(static_cast<std::uint16_t>(size));
    } else {
        out_.push_back(255);
        raw<std::uint32_t>(static_cast<std::uint32_t>(size));
    }
}

void ValueWriter::align(std::size_t alignment) {
    std::size_t rem = out_.size() % alignment;
    if (rem) out_.insert(out_.end(), alignment - rem, 0);
}

template <typename T>
void ValueWriter::typed(std::uint8_t tag, const std::vector<T>& items) {
    out_.push_back(tag);
    size(items.size());
    align(sizeof(T));
    auto* bytes = reinterpret_cast<const std::uint8_t*>(items.data());
    out_.insert(out_.end(), bytes, bytes + items.size() * sizeof(T));
}

void ValueWriter::null() { out_.push_back(kNull); }

void ValueWriter::boolean(bool value) { out_.push_back(value ? kTrue : kFalse); }

void ValueWriter::integer(std::int64_t value) {
    if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
        out_.push_back(kInt32);
        raw(static_cast<std::int32_t>(value));
    } else {
        out_.push_back(kInt64);
        raw(value);
    }
}

void ValueWriter::float64(double value) {
    out_.push_back(kFloat64);
    align(8);
    raw(value);
}

void ValueWriter::string(std::string_view text) {
    out_.push_back(kString);
    if (isValidUtf8(text)) {
        size(text.size());
        out_.insert(out_.end(), text.begin(), text.end());
    } else {
        auto wire = wireText(text);  // always UTF-8 on the wire
        size(wire.size());
        out_.insert(out_.end(), wire.begin(), wire.end());
    }
}

void ValueWriter::bytesHeader(std::size_t count) {
    out_.push_back(kUInt8List);
    size(count);
}

void ValueWriter::bytes(const std::uint8_t* data, std::size_t count) {
    bytesHeader(count);
    out_.insert(out_.end(), data, data + count);
}

void ValueWriter::list(std::size_t count) {
    out_.push_back(kList);
    size(count);
}

void ValueWriter::map(std::size_t count) {
    out_.push_back(kMap);
    size(count);
}

void ValueWriter::value(const EncodableValue& any) {
    std::visit(
        [this](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                null();
            } else if constexpr (std::is_same_v<T, bool>) {
                boolean(v);
            } else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>) {
                integer(v);
            } else if constexpr (std::is_same_v<T, double>) {
                float64(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                string(v);
            } else if constexpr (std::is_same_v<T, Bytes>) {
                bytes(v.data(), v.size());
            } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
                typed(kInt32List, v);
            } else if constexpr (std::is_same_v<T, std::vector<std::int64_t>>) {
                typed(kInt64List, v);
            } else if constexpr (std::is_same_v<T, std::vector<double>>) {
                typed(kFloat64List, v);
            } else if constexpr (std::is_same_v<T, std::vector<float>>) {
                typed(kFloat32List, v);
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                list(v.size());
                for (const auto& item : v) value(item);
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                map(v.size());
                for (const auto& [key, item] : v) {
                    value(key);
                    value(item);
                }
            }
        },
        static_cast<const EncodableValueVariant&>(any));
}

}  // namespace lumivane
