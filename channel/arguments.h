#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "channel/encodable_value.h"

namespace lumivane {

// Reads a call's arguments as a string-keyed map: arguments that are not a map
// read as an empty map, and an entry of the wrong type reads as absent. An
// integer accepts int32 and int64. Views the value it was made from, which must
// outlive it. Any thread.
class Arguments {
public:
    explicit Arguments(const EncodableValue& arguments);

    std::optional<std::string> string(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<double> real(const std::string& key) const;
    const EncodableList* list(const std::string& key) const;
    const EncodableMap* map(const std::string& key) const;
    const Bytes* bytes(const std::string& key) const;
    // A picture's size in pixels ("px"): the integer under `key` held to
    // 0...kMaxPixelSize (0 or less asks for no bound where a call allows
    // that), `fallback` when absent.
    int pixelSize(const std::string& key, int fallback) const;
    static constexpr int kMaxPixelSize = 1 << 16;
    const EncodableValue* value(const std::string& key) const;

private:
    template <typename T>
    const T* typed(const std::string& key) const {
        auto* v = value(key);
        return v ? v->get<T>() : nullptr;
    }
    const EncodableMap* map_;
};

}  // namespace lumivane
