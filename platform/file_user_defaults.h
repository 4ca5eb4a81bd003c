#pragma once
#include <string>

#include "platform/user_defaults.h"

namespace lumivane {

// User defaults kept in a JSON file, written atomically on every change. A
// missing or corrupt file is an empty dictionary (and is replaced on the next
// write). Main thread only.
class FileUserDefaults final : public UserDefaults {
public:
    explicit FileUserDefaults(std::string path);

    nlohmann::json dictionary() const override { return values_; }
    std::optional<nlohmann::json> value(const std::string& key) const override;
    void set(const std::string& key, const nlohmann::json& value) override;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace lumivane
