#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lumivane {

// The user's persistent preferences: a string-keyed dictionary of
// property-list-like values (JSON here). Main thread only.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // The whole dictionary, as an object.
    virtual nlohmann::json dictionary() const = 0;
    virtual std::optional<nlohmann::json> value(const std::string& key) const = 0;
    virtual void set(const std::string& key, const nlohmann::json& value) = 0;
};

}  // namespace lumivane
