#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace lumivane {

class EncodableValue;
using Bytes = std::vector<std::uint8_t>;
using EncodableList = std::vector<EncodableValue>;

// A map that keeps insertion order (answers are built key by key in a fixed
// order); setting an existing key replaces its value in place. Lookups are
// linear for small maps and go through a hash index once a map grows, so a large
// decoded map stays cheap to build. Not thread-safe; values are passed between
// threads by moving them.
class EncodableMap {
public:
    using Entry = std::pair<EncodableValue, EncodableValue>;
    EncodableMap() = default;
    EncodableMap(std::initializer_list<Entry> entries);
    // Defined where EncodableValue is complete (some compilers instantiate
    // the entries' members here otherwise).
    EncodableMap(const EncodableMap& other);
    EncodableMap(EncodableMap&&) noexcept;
    EncodableMap& operator=(const EncodableMap& other);
    EncodableMap& operator=(EncodableMap&&) noexcept;
    ~EncodableMap();

    // Inserts or replaces in place.
    void set(EncodableValue key, EncodableValue value);
    const EncodableValue* find(const EncodableValue& key) const;
    const EncodableValue* find(const std::string& key) const;
    const EncodableValue* find(const char* key) const { return find(std::string(key)); }
    bool erase(const EncodableValue& key);

    using const_iterator = std::vector<Entry>::const_iterator;
    std::size_t size() const;
    bool empty() const;
    const_iterator begin() const;
    const_iterator end() const;
    void reserve(std::size_t n);

    bool operator==(const EncodableMap& other) const;

private:
    std::size_t indexOf(const EncodableValue& key) const;  // size() when absent
    void rebuildIndex();

    std::vector<Entry> entries_;
    // hash -> entry index; absent while the map is small, which keeps every
    // value small.
    std::unique_ptr<std::unordered_multimap<std::size_t, std::size_t>> index_;
};

using EncodableValueVariant =
    std::variant<std::monostate, bool, std::int32_t, std::int64_t, double, std::string, std::vector<std::uint8_t>,
                 std::vector<std::int32_t>, std::vector<std::int64_t>, std::vector<double>, EncodableList, EncodableMap,
                 std::vector<float>>;

// A channel value: null, bool, int32, int64, double, string, bytes, typed lists,
// list or map.
class EncodableValue : public EncodableValueVariant {
public:
    using EncodableValueVariant::EncodableValueVariant;
    EncodableValue() = default;
    // Keeps string literals from becoming bool.
    EncodableValue(const char* text) : EncodableValueVariant(std::string(text)) {}
    EncodableValue(int value) : EncodableValueVariant(static_cast<std::int32_t>(value)) {}
    EncodableValue(long value) : EncodableValueVariant(static_cast<std::int64_t>(value)) {}
    EncodableValue(long long value) : EncodableValueVariant(static_cast<std::int64_t>(value)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(*this); }
    // int32 or int64, as a 64-bit integer.
    std::optional<std::int64_t> integer() const;

    template <typename T>
    const T* get() const {
        return std::get_if<T>(this);
    }
    template <typename T>
    T* get() {
        return std::get_if<T>(this);
    }

    bool operator==(const EncodableValue& other) const;
    bool operator!=(const EncodableValue& other) const { return !(*this == other); }

    std::size_t hash() const;
};

inline EncodableMap::EncodableMap(std::initializer_list<Entry> entries) {
    for (const auto& entry : entries) set(entry.first, entry.second);
}

inline const EncodableValue* EncodableMap::find(const std::string& key) const { return find(EncodableValue(key)); }
inline std::size_t EncodableMap::size() const { return entries_.size(); }
inline bool EncodableMap::empty() const { return entries_.empty(); }
inline EncodableMap::const_iterator EncodableMap::begin() const { return entries_.begin(); }
inline EncodableMap::const_iterator EncodableMap::end() const { return entries_.end(); }
inline void EncodableMap::reserve(std::size_t n) { entries_.reserve(n); }

}  // namespace lumivane
