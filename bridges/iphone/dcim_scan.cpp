#include "bridges/iphone/dcim_scan.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "bridges/iphone/phone_context.h"
#include "runtime/group.h"
#include "runtime/mutex.h"

namespace lumivane {

namespace {

constexpr auto kSizingEventInterval = std::chrono::milliseconds(80);
constexpr std::size_t kFilesPerWorker = 40;

// A whole text as a decimal integer.
std::optional<std::int64_t> decimal(const std::string& text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// Size and time from a file-info map; nullopt when the size is missing or
// does not parse. A present "st_birthtime" is the time even when it does not
// parse (then 0).
std::optional<StatCache::Entry> fileStat(const std::map<std::string, std::string>& info) {
    auto size = info.find("st_size");
    if (size == info.end()) return std::nullopt;
    auto bytes = decimal(size->second);
    if (!bytes) return std::nullopt;
    auto time = info.find("st_birthtime");
    if (time == info.end()) time = info.find("st_mtime");
    std::int64_t modified = 0;
    if (time != info.end()) modified = decimal(time->second).value_or(0) / 1'000'000;
    return StatCache::Entry{*bytes, modified};
}

// A name with a non-empty extension ("IMG_0001.JPG"; not ".hidden" or "name.").
bool hasExtension(const std::string& name) {
    auto dot = name.rfind('.');
    return dot != std::string::npos && dot != 0 && dot + 1 < name.size();
}

EncodableMap fileEntry(const std::string& path, const std::string& name, const std::optional<StatCache::Entry>& stat) {
    EncodableMap entry{{"path", path}, {"name", name}, {"dir", false}};
    if (stat) {
        entry.set("size", stat->size);
        if (stat->modified >= 1) entry.set("modified", stat->modified);
    }
    return entry;
}

const std::string& text(const EncodableMap& map, const char* key) { return *map.find(key)->get<std::string>(); }

}  // namespace

std::int64_t DcimScan::sortNumber(const std::string& name) {
    auto first = std::find_if(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
    auto last = std::find_if(first, name.end(), [](char c) { return c < '0' || c > '9'; });
    if (first == last) return 0;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(&*first, &*first + (last - first), value);
    return error == std::errc() ? value : 0;
}

void DcimScan::sortMedia(EncodableList& entries) {
    auto folderOf = [](const EncodableValue& entry) {
        const auto& path = text(*entry.get<EncodableMap>(), "path");
        return path.substr(0, path.find('/'));
    };
    auto numberOf = [](const EncodableValue& entry) { return sortNumber(text(*entry.get<EncodableMap>(), "name")); };
    std::stable_sort(entries.begin(), entries.end(), [&](const EncodableValue& a, const EncodableValue& b) {
        auto fa = folderOf(a), fb = folderOf(b);
        if (fa != fb) return fa > fb;
        return numberOf(a) > numberOf(b);
    });
}

void DcimScan::progress(const std::string& stage, std::int64_t done, std::int64_t total) {
    EncodableMap event{{"type", "iphoneScan"}, {"udid", phone_.udid}, {"stage", stage}};
    if (done >= 0) {
        event.set("done", done);
        event.set("total", total);
    }
    context_.events.post(std::move(event));
}

IPhoneResult<EncodableList> DcimScan::children(const std::string& path) {
    const MobileDevice& api = context_.api();
    auto names = listDirectory(api, control_, phonePath(path));
    if (!names.ok()) return names.error();
    auto isFolder = [&](const std::string& phonePath) {
        auto info = fileInfo(api, control_, phonePath);
        return info.ok() && info.value()["st_ifmt"] == "S_IFDIR";
    };
    EncodableList entries;
    for (const auto& name : names.value()) {
        if (path.empty()) {
            bool dir = isFolder("/DCIM/" + name);
            EncodableMap entry{{"path", name}, {"name", name}, {"dir", dir}};
            if (dir) {
                auto inside = listDirectory(api, control_, "/DCIM/" + name);
                if (inside.ok()) entry.set("count", static_cast<std::int64_t>(inside.value().size()));
            }
            entries.push_back(std::move(entry));
        } else {
            std::string relative = path + "/" + name;
            bool dir = !hasExtension(name) && isFolder(phonePath(relative));
            entries.push_back(EncodableMap{{"path", relative}, {"name", name}, {"dir", dir}});
        }
    }
    return arrange(std::move(entries));
}

IPhoneResult<EncodableList> DcimScan::media() {
    const MobileDevice& api = context_.api();
    progress("listing");
    auto folders = listDirectory(api, control_, "/DCIM");
    if (!folders.ok()) return folders.error();
    EncodableList entries;
    for (const auto& folder : folders.value()) {
        if (folder.empty() || folder[0] == '.' || folder.find('.') != std::string::npos) continue;
        auto names = listDirectory(api, control_, "/DCIM/" + folder);
        if (!names.ok()) return names.error();
        for (const auto& name : names.value()) {
            if (name[0] == '.' || !hasExtension(name)) continue;
            entries.push_back(EncodableMap{{"path", folder + "/" + name}, {"name", name}, {"dir", false}});
        }
    }
    sortMedia(entries);
    return arrange(std::move(entries));
}

EncodableList DcimScan::arrange(EncodableList entries) {
    StatCache& cache = context_.links.statCache(phone_);
    std::vector<std::pair<std::size_t, std::string>> misses;  // (index, path)
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto& entry = *entries[i].get<EncodableMap>();
        if (*entry.find("dir") == EncodableValue(true)) continue;
        const auto& path = text(entry, "path");
        if (auto hit = cache.lookup(path))
            entries[i] = fileEntry(path, text(entry, "name"), hit);
        else
            misses.emplace_back(i, path);
    }
    if (misses.empty()) return entries;

    const auto n = static_cast<std::int64_t>(misses.size());
    progress("sizing", 0, n);
    std::size_t wanted =
        misses.size() < kFilesPerWorker ? 1 : std::min(misses.size() / kFilesPerWorker, context_.maxSizingWorkers);
    std::vector<std::shared_ptr<AFCConnection>> extra;
    std::vector<AFCConnection*> pool{&control_};
    while (pool.size() < wanted) {
        // A connection that does not open leaves the pool at the size reached;
        // the session and the control connection the scan runs on stay open.
        auto opened = context_.links.openAFCConnection(phone_, /*keepSession=*/true);
        if (!opened.ok()) break;
        extra.push_back(opened.value());
        pool.push_back(extra.back().get());
    }

    struct Shared {
        Mutex lock;  // guards everything below
        std::vector<std::optional<StatCache::Entry>> results;
        std::int64_t done = 0;
        Clock::Steady lastEvent;
    } shared;
    shared.results.resize(misses.size());
    shared.lastEvent = context_.clock.steadyNow();
    const std::size_t m = pool.size();
    const MobileDevice& api = context_.api();
    Group group;
    for (std::size_t k = 0; k < m; ++k) {
        group.enter();
        context_.transfers.post([&, k] {
            for (std::size_t i = k; i < misses.size() && !context_.stopping(); i += m) {
                auto info = fileInfo(api, *pool[k], phonePath(misses[i].second));
                if (!info.ok()) continue;
                auto stat = fileStat(info.value());
                if (!stat) continue;
                cache.store(misses[i].second, *stat);
                MutexLock guard(shared.lock);
                shared.results[i] = stat;
                ++shared.done;
                auto now = context_.clock.steadyNow();
                if (now - shared.lastEvent > kSizingEventInterval) {
                    shared.lastEvent = now;
                    progress("sizing", shared.done, n);
                }
            }
            group.leave();
        });
    }
    group.wait();
    cache.save();
    progress("arranging", n, n);
    for (std::size_t j = 0; j < misses.size(); ++j) {
        auto [index, path] = misses[j];
        auto& entry = *entries[index].get<EncodableMap>();
        entries[index] = fileEntry(path, text(entry, "name"), shared.results[j]);
    }
    for (auto& connection : extra) connection->close();
    return entries;
}

}  // namespace lumivane
