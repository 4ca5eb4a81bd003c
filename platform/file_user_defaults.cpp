#include "platform/file_user_defaults.h"

#include <filesystem>

#include "runtime/atomic_file.h"

namespace lumivane {

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) {
    std::string text;
    if (!readWholeFile(path_, text)) return;
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_object()) values_ = std::move(parsed);
}

std::optional<nlohmann::json> FileUserDefaults::value(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void FileUserDefaults::set(const std::string& key, const nlohmann::json& value) {
    values_[key] = value;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    writeFileAtomically(path_, values_.dump(2));
}

}  // namespace lumivane
