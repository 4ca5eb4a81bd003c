#include "bridges/iphone/stat_cache.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "runtime/file_name.h"
#include "runtime/file_writer.h"
#include "runtime/read_file.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

// The cache is two levels deep; anything nested further than this is not a
// cache file, and parsing stops there.
constexpr int kMaxNesting = 8;
constexpr std::size_t kMaxFileSize = 256u << 20;
constexpr std::size_t kWriteChunk = 64u << 10;

using Json = nlohmann::json;
using Named = StatCache::Named;

// (folder, name) of a path: split at its last "/".
std::pair<std::string_view, std::string_view> split(std::string_view path) {
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return {{}, path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

// Sorts a folder's names, keeping the last of a name given twice.
void normalise(std::vector<Named>& files) {
    std::stable_sort(files.begin(), files.end(), [](const Named& a, const Named& b) { return a.name < b.name; });
    auto last =
        std::unique(files.rbegin(), files.rend(), [](const Named& a, const Named& b) { return a.name == b.name; });
    files.erase(files.begin(), last.base());
}

// Reads a cache file event by event straight into the folders: each member
// of the top object must be an object holding integer "size" and
// "modified"; other members of it are passed over.
class Reader final : public nlohmann::json_sax<Json> {
public:
    StatCache::Entries entries;

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t value) override { return integer(value); }
    bool number_unsigned(number_unsigned_t value) override { return integer(static_cast<std::int64_t>(value)); }
    bool number_float(number_float_t, const string_t&) override { return scalar(); }
    bool string(string_t&) override { return scalar(); }
    bool binary(binary_t&) override { return scalar(); }
    bool start_object(std::size_t) override { return open(); }
    bool start_array(std::size_t) override { return depth_ >= 2 && open(); }
    bool end_array() override { return close(); }
    bool key(string_t& key) override {
        if (depth_ == 1) {
            path_ = std::move(key);
        } else if (depth_ == 2) {
            field_ = key == "size" ? Field::size : key == "modified" ? Field::modified : Field::other;
        }
        return true;
    }
    bool end_object() override {
        if (depth_ == 2) {
            if (!size_ || !modified_) return false;
            auto [folder, name] = split(path_);
            if (!folder_ || folderName_ != folder) {
                folderName_ = folder;
                folder_ = &entries.try_emplace(std::string(folder)).first->second;
            }
            folder_->push_back({std::string(name), {*size_, *modified_}});
        }
        return close();
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    void finish() {
        for (auto& [folder, files] : entries) normalise(files);
    }

private:
    enum class Field { size, modified, other };
    bool open() {
        if (depth_ == 2 && field_ != Field::other) return false;  // a size or time that is no integer
        if (++depth_ > kMaxNesting) return false;
        if (depth_ == 2) {
            size_ = modified_ = std::nullopt;
            field_ = Field::other;
        }
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    // A value that is no object: only inside an entry's object, and never
    // as its size or time.
    bool scalar() { return depth_ >= 2 && (depth_ > 2 || field_ == Field::other); }
    bool integer(std::int64_t value) {
        if (depth_ != 2) return depth_ > 2;
        if (field_ == Field::size) size_ = value;
        if (field_ == Field::modified) modified_ = value;
        return true;
    }

    int depth_ = 0;
    std::string path_;  // the member being read
    Field field_ = Field::other;
    std::optional<std::int64_t> size_, modified_;
    std::string folderName_;
    std::vector<Named>* folder_ = nullptr;  // the folder of the last entry read
};

}  // namespace

StatCache::StatCache(const std::string& dataFolder, const std::string& udid)
    : file_(dataFolder + "/iphone-files/" + fileNameComponent(udid) + ".json") {
    std::error_code ignored;
    std::filesystem::create_directories(dataFolder + "/iphone-files", ignored);
}

std::optional<StatCache::Entries> StatCache::decode(std::string_view text) {
    Reader reader;
    if (!Json::sax_parse(text, &reader)) return std::nullopt;
    reader.finish();
    return std::move(reader.entries);
}

void StatCache::encode(const Entries& entries, const std::function<void(std::string_view)>& out) {
    out("{");
    bool first = true;
    std::string path;
    for (const auto& [folder, files] : entries) {
        for (const auto& file : files) {
            path = folder.empty() ? file.name : folder + "/" + file.name;
            auto text = std::string(first ? "" : ",") + Json(path).dump() +
                        ":{\"modified\":" + std::to_string(file.entry.modified) +
                        ",\"size\":" + std::to_string(file.entry.size) + "}";
            out(text);
            first = false;
        }
    }
    out("}");
}

std::string StatCache::encode(const Entries& entries) {
    std::string text;
    encode(entries, [&](std::string_view piece) { text += piece; });
    return text;
}

void StatCache::load() {
    loaded_ = true;
    auto text = readFile(file_, kMaxFileSize);
    if (!text) return;
    if (auto decoded = decode(*text)) entries_ = std::move(*decoded);
}

void StatCache::merge() {
    for (auto& [folder, added] : added_) {
        auto& files = entries_[folder];
        files.reserve(files.size() + added.size());
        for (auto& file : added) files.push_back(std::move(file));
        normalise(files);  // a name stored again replaces the one before
    }
    added_.clear();
}

std::optional<StatCache::Entry> StatCache::lookup(std::string_view folder, std::string_view name) {
    if (!isValidUtf8(folder) || !isValidUtf8(name)) return std::nullopt;  // never stored: see store()
    MutexLock guard(lock_);
    if (!loaded_) load();
    merge();
    auto found = entries_.find(folder);
    if (found == entries_.end()) return std::nullopt;
    auto& files = found->second;
    auto at = std::lower_bound(files.begin(), files.end(), name,
                               [](const Named& file, std::string_view wanted) { return file.name < wanted; });
    if (at == files.end() || at->name != name) return std::nullopt;
    return at->entry;
}

std::optional<StatCache::Entry> StatCache::lookup(std::string_view path) {
    auto [folder, name] = split(path);
    return lookup(folder, name);
}

void StatCache::store(std::string_view folder, std::string_view name, Entry entry) {
    // The file is JSON, which holds only UTF-8: another name would come back
    // altered, and could then answer for a different file.
    if (!isValidUtf8(folder) || !isValidUtf8(name)) return;
    MutexLock guard(lock_);
    if (!loaded_) load();
    auto pending = added_.find(folder);
    if (pending == added_.end()) pending = added_.emplace(std::string(folder), std::vector<Named>{}).first;
    pending->second.push_back({std::string(name), entry});
    dirty_ = true;
}

void StatCache::store(std::string_view path, Entry entry) {
    auto [folder, name] = split(path);
    store(folder, name, entry);
}

void StatCache::save() {
    MutexLock guard(lock_);
    if (!dirty_) return;
    merge();
    dirty_ = false;
    // A cache that fails to save is rebuilt next time.
    auto writer = FileWriter::create(file_, 0600);
    if (!writer.ok()) return;
    std::string buffer;
    bool failed = false;
    auto flush = [&] {
        if (!failed && !writer.value().write(buffer.data(), buffer.size()).ok()) failed = true;
        buffer.clear();
    };
    encode(entries_, [&](std::string_view piece) {
        buffer += piece;
        if (buffer.size() >= kWriteChunk) flush();
    });
    flush();
    if (!failed) (void)writer.value().commit();
}

}  // namespace lumivane
