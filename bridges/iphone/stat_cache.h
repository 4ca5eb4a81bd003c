#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
// Held folder by folder, each folder a sorted array of names whose short
// names need no storage of their own: about 48 bytes a file. The file is
// read and written as a stream, never as a second whole copy of the cache.
//
// Any thread: `lock_` guards every field.
class StatCache {
public:
    struct Entry {
        std::int64_t size = 0;
        std::int64_t modified = 0;  // ms since 1970; 0 when the phone gave no usable time
        bool operator==(const Entry&) const = default;
    };
    struct Named {
        std::string name;
        Entry entry;
        bool operator==(const Named&) const = default;
    };
    // Folder path ("" at the top) → its files, sorted by name, no name twice.
    using Entries = std::map<std::string, std::vector<Named>, std::less<>>;

    // Creates the folder chain (a failure is ignored); reads nothing yet.
    StatCache(const std::string& dataFolder, const std::string& udid);

    // A file by its folder and name, or by its whole path.
    std::optional<Entry> lookup(std::string_view folder, std::string_view name);
    std::optional<Entry> lookup(std::string_view path);
    void store(std::string_view folder, std::string_view name, Entry entry);
    void store(std::string_view path, Entry entry);
    // Writes the entries when they changed since the last save.
    void save();

    const std::string& file() const { return file_; }

    // The file's contents and back: nullopt for anything that is not a whole,
    // well-formed cache file; encode() hands its text out piece by piece.
    // Any thread.
    static std::optional<Entries> decode(std::string_view text);
    static void encode(const Entries& entries, const std::function<void(std::string_view)>& out);
    static std::string encode(const Entries& entries);

private:
    void load() LUMIVANE_REQUIRES(lock_);
    // Sorts what store() added since into the folders.
    void merge() LUMIVANE_REQUIRES(lock_);

    std::string file_;
    Mutex lock_;
    Entries entries_ LUMIVANE_GUARDED_BY(lock_);
    // Stored since the last merge, by folder, in the order stored.
    Entries added_ LUMIVANE_GUARDED_BY(lock_);
    bool loaded_ LUMIVANE_GUARDED_BY(lock_) = false;
    bool dirty_ LUMIVANE_GUARDED_BY(lock_) = false;
};

}  // namespace lumivane
