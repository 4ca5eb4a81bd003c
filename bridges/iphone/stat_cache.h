#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include "runtime/mutex.h"

namespace lumivane {

// A phone's persistent map from DCIM-relative file path to size and time, so
// repeat scans ask the phone only about files they have not seen. Entries are
// never checked against the phone again and never removed. A path that is not
// UTF-8 is never cached (the file could not keep it exactly).
//
// Stored as a JSON object {"<path>": {"size": n, "modified": ms}, ...} in the
// file `<data folder>/iphone-files/<udid>.json` (the udid made one
// plain file name by fileNameComponent), loaded once on first use and
// written atomically by save(). A missing, corrupt, truncated or absurdly
// nested file is an empty cache that the next save overwrites; no cache
// failure is ever reported.
//
// Any thread: `lock_` guards every field.
class StatCache {
public:
    struct Entry {
        std::int64_t size = 0;
        std::int64_t modified = 0;  // ms since 1970; 0 when the phone gave no usable time
        bool operator==(const Entry&) const = default;
    };

    // Creates the folder chain (a failure is ignored); reads nothing yet.
    StatCache(const std::string& dataFolder, const std::string& udid);

    std::optional<Entry> lookup(const std::string& path);
    void store(const std::string& path, Entry entry);
    // Writes the entries when they changed since the last save.
    void save();

    const std::string& file() const { return file_; }

    // The file's contents and back: nullopt for anything that is not a whole,
    // well-formed cache file. Any thread.
    static std::optional<std::map<std::string, Entry>> decode(std::string_view text);
    static std::string encode(const std::map<std::string, Entry>& entries);

private:
    void load() LUMIVANE_REQUIRES(lock_);

    std::string file_;
    Mutex lock_;
    std::map<std::string, Entry> entries_ LUMIVANE_GUARDED_BY(lock_);
    bool loaded_ LUMIVANE_GUARDED_BY(lock_) = false;
    bool dirty_ LUMIVANE_GUARDED_BY(lock_) = false;
};

}  // namespace lumivane
