#pragma once
#include <optional>
#include <string>

namespace lumivane {

// The process environment and the application bundle. Any thread.
class Environment {
public:
    virtual ~Environment() = default;
    virtual std::optional<std::string> variable(const std::string& name) const = 0;
    virtual std::string homeDirectory() const = 0;
    virtual std::optional<std::string> bundleIdentifier() const = 0;
    // The user's Application Support folder, if there is one.
    virtual std::optional<std::string> applicationSupportDirectory() const = 0;
    // Where the user keeps pictures (it may not exist yet), if anywhere.
    virtual std::optional<std::string> picturesDirectory() const = 0;
};

}  // namespace lumivane
