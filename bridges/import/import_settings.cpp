#include "bridges/import/import_settings.h"

#include <algorithm>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "runtime/file_writer.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

constexpr std::size_t kMaxText = 4096;
const char* const kTexts[] = {"destination", "backup", "subfolders", "rename"};
const char* const kFlags[] = {"onlyNew", "skipDuplicates", "verify"};
const char* const kPresetKeys[] = {"subfolders", "rename", "clockShift"};

template <std::size_t N>
bool among(const char* const (&keys)[N], const std::string& name) {
    return std::find_if(std::begin(keys), std::end(keys), [&](const char* k) { return name == k; }) != std::end(keys);
}

bool validShift(const nlohmann::json& minutes) {
    return minutes.is_number_integer() && std::abs(minutes.get<std::int64_t>()) <= ImportSettings::kMaxClockShift;
}

// The file as it is: an object, or an empty one when there is none or it is not ours.
nlohmann::json read(const std::string& path) {
    auto text = readFile(path, 256 << 10);
    auto json = text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
    return json.is_object() ? json : nlohmann::json::object();
}

Result<void> write(const std::string& path, const nlohmann::json& json) {
    return writeFileAtomically(path, json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace), 0600);
}

// One setting given by a client, as the file keeps it; none when it is not
// one of `allowed` or not of its kind.
std::optional<nlohmann::json> accepted(const std::string& name, const EncodableValue& value, bool presetOnly) {
    if (presetOnly && !among(kPresetKeys, name)) return std::nullopt;
    if (among(kTexts, name) && value.get<std::string>() && value.get<std::string>()->size() <= kMaxText)
        return *value.get<std::string>();
    if (among(kFlags, name) && value.get<bool>()) return *value.get<bool>();
    if (name == "clockShift") {
        auto minutes = value.integer();
        if (minutes && std::abs(*minutes) <= ImportSettings::kMaxClockShift) return *minutes;
    }
    return std::nullopt;
}

EncodableMap settingsOf(const nlohmann::json& json) {
    EncodableMap settings;
    for (const char* key : kTexts)
        if (json.contains(key) && json[key].is_string()) settings.set(key, json[key].get<std::string>());
    for (const char* key : kFlags)
        if (json.contains(key) && json[key].is_boolean()) settings.set(key, json[key].get<bool>());
    if (json.contains("clockShift") && validShift(json["clockShift"]))
        settings.set("clockShift", json["clockShift"].get<int>());
    return settings;
}

}  // namespace

EncodableMap ImportSettings::load() const {
    auto json = read(path_);
    auto settings = settingsOf(json);
    EncodableList shoots;
    if (json.contains("shoots") && json["shoots"].is_array())
        for (const auto& name : json["shoots"])
            if (name.is_string() && ImportRequest::validShoot(name.get<std::string>()) && shoots.size() < kShoots)
                shoots.push_back(name.get<std::string>());
    if (!shoots.empty()) settings.set("shoots", std::move(shoots));
    return settings;
}

Result<void> ImportSettings::remember(const EncodableMap& settings) const {
    // Keys not given keep what they were: each client remembers its own part.
    auto json = read(path_);
    for (const auto& [key, value] : settings) {
        const auto* name = key.get<std::string>();
        if (!name) return failure(Error::badInput("Settings are named by text."));
        if (*name == "shoot") {
            const auto* shoot = value.get<std::string>();
            if (!shoot || !ImportRequest::validShoot(*shoot))
                return failure(Error::badInput("A shoot's name is 1 to 100 bytes without control characters."));
            // The newest first, each once.
            nlohmann::json shoots = nlohmann::json::array({*shoot});
            if (json.contains("shoots") && json["shoots"].is_array())
                for (const auto& other : json["shoots"])
                    if (other.is_string() && ImportRequest::validShoot(other.get<std::string>()) && other != *shoot &&
                        shoots.size() < kShoots)
                        shoots.push_back(other);
            json["shoots"] = std::move(shoots);
            continue;
        }
        auto kept = accepted(*name, value, false);
        if (!kept) return failure(Error::badInput("No import setting \"" + *name + "\" of that kind."));
        json[*name] = std::move(*kept);
    }
    return write(path_, json);
}

EncodableMap ImportSettings::preset(const std::string& device) const {
    auto json = read(path_);
    if (!json.contains("presets") || !json["presets"].is_object() || !json["presets"].contains(device)) return {};
    const auto& kept = json["presets"][device];
    if (!kept.is_object()) return {};
    auto preset = settingsOf(kept);
    EncodableMap names;
    for (const char* key : kPresetKeys)
        if (const auto* value = preset.find(key)) names.set(key, *value);
    return names;
}

Result<void> ImportSettings::rememberPreset(const std::string& device, const EncodableMap& preset) const {
    nlohmann::json names = nlohmann::json::object();
    for (const auto& [key, value] : preset) {
        const auto* name = key.get<std::string>();
        auto kept = name ? accepted(*name, value, true) : std::nullopt;
        if (!kept)
            return failure(Error::badInput("A device keeps only \"subfolders\", \"rename\" and \"clockShift\"."));
        names[*name] = std::move(*kept);
    }
    auto json = read(path_);
    if (!json.contains("presets") || !json["presets"].is_object()) json["presets"] = nlohmann::json::object();
    auto& presets = json["presets"];
    if (names.empty())
        presets.erase(device);
    else if (!presets.contains(device) && presets.size() >= kPresets)
        return failure(Error::badInput("At most 64 devices keep names of their own; forget one first."));
    else
        presets[device] = std::move(names);
    return write(path_, json);
}

}  // namespace lumivane
