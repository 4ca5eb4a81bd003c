#include "channel/encodable_value.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace lumivane {

namespace {
constexpr std::size_t kIndexThreshold = 16;

std::size_t mix(std::size_t seed, std::size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

template <typename T>
std::size_t hashRange(const std::vector<T>& items, std::size_t seed) {
    for (const auto& item : items) seed = mix(seed, std::hash<T>{}(item));
    return seed;
}
}  // namespace

std::optional<std::int64_t> EncodableValue::integer() const {
    if (auto* v = std::get_if<std::int32_t>(this)) return *v;
    if (auto* v = std::get_if<std::int64_t>(this)) return *v;
    return std::nullopt;
}

bool EncodableValue::operator==(const EncodableValue& other) const {
    return static_cast<const EncodableValueVariant&>(*this) == static_cast<const EncodableValueVariant&>(other);
}

std::size_t EncodableValue::hash() const {
    std::size_t seed = index();
    return std::visit(
        [seed](const auto& v) -> std::size_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return seed;
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                std::size_t h = seed;
                for (const auto& item : v) h = mix(h, item.hash());
                return h;
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                std::size_t h = seed;
                for (const auto& [key, value] : v) h = mix(mix(h, key.hash()), value.hash());
                return h;
            } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
                return mix(seed, std::hash<std::string_view>{}(
                                     std::string_view(reinterpret_cast<const char*>(v.data()), v.size())));
            } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>> ||
                                 std::is_same_v<T, std::vector<std::int64_t>> ||
                                 std::is_same_v<T, std::vector<double>> || std::is_same_v<T, std::vector<float>>) {
                return hashRange(v, seed);
            } else {
                return mix(seed, std::hash<T>{}(v));
            }
        },
        static_cast<const EncodableValueVariant&>(*this));
}

EncodableMap::EncodableMap(const EncodableMap& other) : entries_(other.entries_) { rebuildIndex(); }
EncodableMap::EncodableMap(EncodableMap&&) noexcept = default;
EncodableMap& EncodableMap::operator=(EncodableMap&&) noexcept = default;
EncodableMap::~EncodableMap() = default;

EncodableMap& EncodableMap::operator=(const EncodableMap& other) {
    if (this != &other) {
        entries_ = other.entries_;
        rebuildIndex();
    }
    return *this;
}

bool EncodableMap::operator==(const EncodableMap& other) const { return entries_ == other.entries_; }

std::size_t EncodableMap::indexOf(const EncodableValue& key) const {
    if (!index_) {
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].first == key) return i;
        return entries_.size();
    }
    auto [first, last] = index_->equal_range(key.hash());
    for (auto it = first; it != last; ++it)
        if (entries_[it->second].first == key) return it->second;
    return entries_.size();
}

void EncodableMap::rebuildIndex() {
    index_.reset();
    if (entries_.size() < kIndexThreshold) return;
    index_ = std::make_unique<std::unordered_multimap<std::size_t, std::size_t>>();
    index_->reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].first.hash(), i);
}

void EncodableMap::set(EncodableValue key, EncodableValue value) {
    std::size_t at = indexOf(key);
    if (at < entries_.size()) {
        entries_[at].second = std::move(value);
        return;
    }
    std::size_t h = index_ ? key.hash() : 0;
    entries_.emplace_back(std::move(key), std::move(value));
    if (!index_) {
        if (entries_.size() >= kIndexThreshold) rebuildIndex();
    } else {
        index_->emplace(h, entries_.size() - 1);
    }
}

const EncodableValue* EncodableMap::find(const EncodableValue& key) const {
    std::size_t at = indexOf(key);
    return at < entries_.size() ? &entries_[at].second : nullptr;
}

bool EncodableMap::erase(const EncodableValue& key) {
    std::size_t at = indexOf(key);
    if (at == entries_.size()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
    rebuildIndex();
    return true;
}

}  // namespace lumivane
