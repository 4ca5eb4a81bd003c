#include "app/legacy_data_move.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "platform/common/property_list.h"
#include "runtime/file_writer.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPreferencePrefix = "flutter.";
constexpr std::size_t kMaxPreferencesFile = 64u << 20;

bool hasPrefix(const std::string& key) { return key.rfind(kPreferencePrefix, 0) == 0; }

// A property-list value as a defaults value. Dates become seconds since 2001
// (their property-list epoch); data becomes a list of byte values. Absent
// when it holds text the defaults cannot store (not UTF-8), or a key that is
// not UTF-8. The input was depth-checked when parsed.
std::optional<nlohmann::json> toJson(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return v != 0;
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return static_cast<std::int64_t>(v);
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return v;
        }
        case PLIST_STRING: {
            auto text = plist::stringValue(node);
            if (!text) return std::nullopt;
            return *text;
        }
        case PLIST_DATA: {
            char* v = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &v, &length);
            auto bytes = nlohmann::json::array();
            for (std::uint64_t i = 0; i < length; ++i) bytes.push_back(static_cast<std::uint8_t>(v[i]));
            free(v);
            return bytes;
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0, microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            return seconds + microseconds / 1e6;
        }
        case PLIST_ARRAY: {
            auto out = nlohmann::json::array();
            for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                auto item = toJson(plist_array_get_item(node, i));
                if (!item) return std::nullopt;
                out.push_back(std::move(*item));
            }
            return out;
        }
        case PLIST_DICT: {
            auto out = nlohmann::json::object();
            bool whole = true;
            std::uint32_t visited = 0;
            plist::forEachItem(node, [&](const std::string& key, plist_t item) {
                ++visited;
                auto value = toJson(item);
                if (value)
                    out[key] = std::move(*value);
                else
                    whole = false;
            });
            if (!whole || visited != plist_dict_get_size(node)) return std::nullopt;  // a key or value passed over
            return out;
        }
        default: return nlohmann::json(nullptr);
    }
}

void copyPreferences(const std::string& container, const std::string& bundle, UserDefaults& defaults, Log& log) {
    auto current = defaults.dictionary();
    for (const auto& [key, value] : current.items())
        if (hasPrefix(key)) return;  // already populated

    auto file = container + "/Library/Preferences/" + bundle + ".plist";
    auto text = readFile(file, kMaxPreferencesFile);
    if (!text) return;  // missing: nothing to move
    auto preferences = readLegacyPreferences(*text);
    if (!preferences) {
        log.write("Lumivane: the earlier build's preferences are unreadable; not moved: " + file);
        return;
    }
    for (const auto& [key, value] : preferences->values) defaults.set(key, value);
    if (!preferences->skipped.empty()) {
        std::string keys;
        for (const auto& key : preferences->skipped) keys += (keys.empty() ? "" : ", ") + key;
        log.write("Lumivane: earlier preferences that cannot be stored were not moved: " + keys);
    }
}

void copyDatabase(const std::string& container, const std::string& bundle, const Environment& environment) {
    auto support = environment.applicationSupportDirectory();
    if (!support) return;
    fs::path source = container + "/Documents/lumivane.db";
    fs::path folder = *support + "/" + bundle;
    fs::path destination = folder / "lumivane.db";
    std::error_code error;
    if (!fs::exists(source, error)) return;
    if (fs::exists(destination, error) || fs::is_symlink(destination, error)) return;  // never overwritten
    fs::create_directories(folder, error);

    // Copied beside the destination and linked in, so an interrupted copy never
    // leaves a truncated database, and one that appeared meanwhile is kept.
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    struct stat info {};
    ::fstat(in, &info);
    auto writer = FileWriter::create(destination, info.st_mode & 0777);
    bool copied = writer.ok();
    std::vector<char> buffer(1 << 20);
    while (copied) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            copied = n == 0;
            break;
        }
        copied = writer.value().write(buffer.data(), static_cast<std::size_t>(n)).ok();
    }
    ::close(in);
    if (copied) (void)writer.value().commit(FileWriter::Commit::keepExisting);
}

}  // namespace

std::optional<LegacyPreferences> readLegacyPreferences(std::string_view file) {
    Plist parsed = plist::parse(file);
    if (!plist::isDict(parsed.get())) return std::nullopt;
    LegacyPreferences preferences;
    plist::forEachItem(parsed.get(), [&](const std::string& key, plist_t item) {
        if (!hasPrefix(key)) return;
        if (auto value = toJson(item))
            preferences.values.emplace_back(key, std::move(*value));
        else
            preferences.skipped.push_back(key);
    });
    return preferences;
}

void moveLegacyData(const Environment& environment, UserDefaults& defaults, Log& log) {
    if (environment.variable("APP_SANDBOX_CONTAINER_ID")) return;
    auto bundle = environment.bundleIdentifier();
    if (!bundle) return;
    auto container = environment.homeDirectory() + "/Library/Containers/" + *bundle + "/Data";
    std::error_code error;
    if (!fs::exists(container, error)) return;
    copyPreferences(container, *bundle, defaults, log);
    copyDatabase(container, *bundle, environment);
}

}  // namespace lumivane
