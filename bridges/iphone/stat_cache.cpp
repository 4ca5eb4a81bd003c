#include "bridges/iphone/stat_cache.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "runtime/file_writer.h"
#include "runtime/read_file.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

// The cache is two levels deep; anything nested further is not a cache file,
// and is refused before the parser builds it.
constexpr int kMaxNesting = 8;
constexpr std::size_t kMaxFileSize = 256u << 20;

bool shallow(const std::string& text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char ch : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (ch == '\\')
                escaped = true;
            else if (ch == '"')
                inString = false;
            continue;
        }
        if (ch == '"')
            inString = true;
        else if (ch == '{' || ch == '[') {
            if (++depth > kMaxNesting) return false;
        } else if (ch == '}' || ch == ']') {
            --depth;
        }
    }
    return true;
}

}  // namespace

StatCache::StatCache(const std::string& dataFolder, const std::string& udid)
    : file_(dataFolder + "/iphone-files/" + udid + ".json") {
    std::error_code ignored;
    std::filesystem::create_directories(dataFolder + "/iphone-files", ignored);
}

void StatCache::load() {
    loaded_ = true;
    auto text = readFile(file_, kMaxFileSize);
    if (!text || !shallow(*text)) return;
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_object()) return;
    std::map<std::string, Entry> decoded;
    for (auto& [path, value] : json.items()) {
        if (!value.is_object()) return;
        auto size = value.find("size");
        auto modified = value.find("modified");
        if (size == value.end() || modified == value.end() || !size->is_number_integer() ||
            !modified->is_number_integer())
            return;
        decoded[path] = Entry{size->get<std::int64_t>(), modified->get<std::int64_t>()};
    }
    entries_ = std::move(decoded);
}

std::optional<StatCache::Entry> StatCache::lookup(const std::string& path) {
    if (!isValidUtf8(path)) return std::nullopt;  // never stored: see store()
    std::lock_guard guard(lock_);
    if (!loaded_) load();
    auto it = entries_.find(path);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void StatCache::store(const std::string& path, Entry entry) {
    // The file is JSON, which holds only UTF-8: another name would come back
    // altered, and could then answer for a different file.
    if (!isValidUtf8(path)) return;
    std::lock_guard guard(lock_);
    if (!loaded_) load();
    entries_[path] = entry;
    dirty_ = true;
}

void StatCache::save() {
    std::lock_guard guard(lock_);
    if (!dirty_) return;
    auto json = nlohmann::json::object();
    for (const auto& [path, entry] : entries_) json[path] = {{"size", entry.size}, {"modified", entry.modified}};
    std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    dirty_ = false;
    (void)writeFileAtomically(file_, text);  // a cache that fails to save is rebuilt next time
}

}  // namespace lumivane
