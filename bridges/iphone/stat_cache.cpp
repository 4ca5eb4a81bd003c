#include "bridges/iphone/stat_cache.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "runtime/file_name.h"
#include "runtime/file_writer.h"
#include "runtime/mutex.h"
#include "runtime/read_file.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

// The cache is two levels deep; anything nested further is not a cache file,
// and is refused before the parser builds it.
constexpr int kMaxNesting = 8;
constexpr std::size_t kMaxFileSize = 256u << 20;

bool shallow(std::string_view text) {
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
    : file_(dataFolder + "/iphone-files/" + fileNameComponent(udid) + ".json") {
    std::error_code ignored;
    std::filesystem::create_directories(dataFolder + "/iphone-files", ignored);
}

std::optional<std::map<std::string, StatCache::Entry>> StatCache::decode(std::string_view text) {
    if (!shallow(text)) return std::nullopt;
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    std::map<std::string, Entry> decoded;
    for (auto& [path, value] : json.items()) {
        if (!value.is_object()) return std::nullopt;
        auto size = value.find("size");
        auto modified = value.find("modified");
        if (size == value.end() || modified == value.end() || !size->is_number_integer() ||
            !modified->is_number_integer())
            return std::nullopt;
        decoded[path] = Entry{size->get<std::int64_t>(), modified->get<std::int64_t>()};
    }
    return decoded;
}

std::string StatCache::encode(const std::map<std::string, Entry>& entries) {
    auto json = nlohmann::json::object();
    for (const auto& [path, entry] : entries) json[path] = {{"size", entry.size}, {"modified", entry.modified}};
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void StatCache::load() {
    loaded_ = true;
    auto text = readFile(file_, kMaxFileSize);
    if (!text) return;
    if (auto decoded = decode(*text)) entries_ = std::move(*decoded);
}

std::optional<StatCache::Entry> StatCache::lookup(const std::string& path) {
    if (!isValidUtf8(path)) return std::nullopt;  // never stored: see store()
    MutexLock guard(lock_);
    if (!loaded_) load();
    auto it = entries_.find(path);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void StatCache::store(const std::string& path, Entry entry) {
    // The file is JSON, which holds only UTF-8: another name would come back
    // altered, and could then answer for a different file.
    if (!isValidUtf8(path)) return;
    MutexLock guard(lock_);
    if (!loaded_) load();
    entries_[path] = entry;
    dirty_ = true;
}

void StatCache::save() {
    MutexLock guard(lock_);
    if (!dirty_) return;
    std::string text = encode(entries_);
    dirty_ = false;
    (void)writeFileAtomically(file_, text);  // a cache that fails to save is rebuilt next time
}

}  // namespace lumivane
