#include "bridges/import/import_settings.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "runtime/file_writer.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

nlohmann::json toJson(const EncodableValue& value) {
    if (const auto* text = value.get<std::string>()) return *text;
    return value.get<bool>() && *value.get<bool>();
}

constexpr std::size_t kMaxText = 4096;
const char* const kTexts[] = {"destination", "backup", "subfolders", "rename"};
const char* const kFlags[] = {"onlyNew", "skipDuplicates", "verify"};

}  // namespace

EncodableMap ImportSettings::load() const {
    EncodableMap settings;
    auto text = readFile(path_, 64 << 10);
    if (!text) return settings;
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_object()) return settings;
    for (const char* key : kTexts)
        if (json.contains(key) && json[key].is_string()) settings.set(key, json[key].get<std::string>());
    for (const char* key : kFlags)
        if (json.contains(key) && json[key].is_boolean()) settings.set(key, json[key].get<bool>());
    return settings;
}

Result<void> ImportSettings::remember(const EncodableMap& settings) const {
    // Keys not given keep what they were: each client remembers its own part.
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [key, value] : load()) json[*key.get<std::string>()] = toJson(value);
    for (const auto& [key, value] : settings) {
        const auto* name = key.get<std::string>();
        if (!name) return failure(Error{Error::Code::badInput, "Settings are named by text."});
        bool text = std::find_if(std::begin(kTexts), std::end(kTexts), [&](const char* k) { return *name == k; }) !=
                    std::end(kTexts);
        bool flag = std::find_if(std::begin(kFlags), std::end(kFlags), [&](const char* k) { return *name == k; }) !=
                    std::end(kFlags);
        if (text && value.get<std::string>() && value.get<std::string>()->size() <= kMaxText)
            json[*name] = *value.get<std::string>();
        else if (flag && value.get<bool>())
            json[*name] = *value.get<bool>();
        else
            return failure(Error{Error::Code::badInput, "No import setting \"" + *name + "\" of that kind."});
    }
    return writeFileAtomically(path_, json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace), 0600);
}

}  // namespace lumivane
