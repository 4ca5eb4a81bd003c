#include "bridges/iphone/dcim_scan.h"

#include <algorithm>
#include <limits>

#include "bridges/iphone/phone_context.h"
#include "runtime/group.h"
#include "runtime/mutex.h"

namespace lumivane {

namespace {

constexpr auto kSizingEventInterval = std::chrono::milliseconds(80);
constexpr std::size_t kFilesPerWorker = 40;

// Size and time from a file-info map; nullopt when the size is missing or
// does not parse. A present "st_birthtime" is the time even when it does not
// parse (then 0).
std::optional<StatCache::Entry> fileStat(const std::map<std::string, std::string>& info) {
    auto size = info.find("st_size");
    if (size == info.end()) return std::nullopt;
    auto bytes = fileInfoNumber(size->second);
    if (!bytes) return std::nullopt;
    auto time = info.find("st_birthtime");
    if (time == info.end()) time = info.find("st_mtime");
    std::int64_t modified = 0;
    if (time != info.end()) modified = fileInfoNumber(time->second).value_or(0) / 1'000'000;
    return StatCache::Entry{*bytes, modified};
}

// A name with a non-empty extension ("IMG_0001.JPG"; not ".hidden" or "name.").
bool hasExtension(const std::string& name) {
    auto dot = name.rfind('.');
    return dot != std::string::npos && dot != 0 && dot + 1 < name.size();
}

Error tooMany() {
    return Error(Error::Code::badInput, "The iPhone lists more files than Lumivane can show (over " +
                                            std::to_string(MediaListing::kMaxFiles) + ").");
}

}  // namespace

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
    // Folders are answered as they are; files are sized together, then put
    // back in their place.
    std::vector<std::optional<EncodableMap>> folders;
    MediaListing files;
    files.addFolder(path);
    for (const auto& name : names.value()) {
        if (path.empty()) {
            if (!isFolder("/DCIM/" + name)) {
                if (!files.addFile(name)) return tooMany();
                folders.emplace_back();
                continue;
            }
            EncodableMap entry{{"path", name}, {"name", name}, {"dir", true}};
            auto inside = listDirectory(api, control_, "/DCIM/" + name);
            if (inside.ok()) entry.set("count", static_cast<std::int64_t>(inside.value().size()));
            folders.emplace_back(std::move(entry));
        } else {
            std::string relative = path + "/" + name;
            if (hasExtension(name) || !isFolder(phonePath(relative))) {
                if (!files.addFile(name)) return tooMany();
                folders.emplace_back();
                continue;
            }
            folders.emplace_back(EncodableMap{{"path", relative}, {"name", name}, {"dir", true}});
        }
    }
    size(files);
    EncodableList entries;
    std::size_t file = 0;
    for (auto& folder : folders) entries.push_back(folder ? std::move(*folder) : files.entry(file++));
    return entries;
}

void DcimScan::lookAgain(PhoneContext& context, IPhone& phone, AFCConnection& connection, const std::string& path) {
    auto info = fileInfo(context.api(), connection, phonePath(path));
    if (!info.ok()) return;
    auto stat = fileStat(info.value());
    if (!stat) return;
    auto& cache = context.links.statCache(phone);
    cache.store(path, *stat);
    cache.save();
}

IPhoneResult<MediaListing> DcimScan::media() {
    const MobileDevice& api = context_.api();
    progress("listing");
    auto folders = listDirectory(api, control_, "/DCIM");
    if (!folders.ok()) return folders.error();
    MediaListing listing;
    for (const auto& folder : folders.value()) {
        if (folder.empty() || folder[0] == '.' || folder.find('.') != std::string::npos) continue;
        auto names = listDirectory(api, control_, "/DCIM/" + folder);
        if (!names.ok()) return names.error();
        listing.addFolder(folder);
        for (const auto& name : names.value())
            if (name[0] != '.' && hasExtension(name) && !listing.addFile(name)) return tooMany();
    }
    listing.sort();
    size(listing);
    return listing;
}

void DcimScan::size(MediaListing& files) {
    StatCache& cache = context_.links.statCache(phone_);
    std::vector<std::uint32_t> misses;  // indexes of the files the cache does not know
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (auto hit = cache.lookup(files.folder(i), files.name(i)))
            files.setSize(i, hit->size, hit->modified);
        else
            misses.push_back(static_cast<std::uint32_t>(i));
    }
    if (misses.empty()) return;

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
        std::int64_t done = 0;
        Clock::Steady lastEvent;
    } shared;
    shared.lastEvent = context_.clock.steadyNow();
    const std::size_t m = pool.size();
    const MobileDevice& api = context_.api();
    Group group;
    for (std::size_t k = 0; k < m; ++k) {
        group.enter();
        // Each worker sizes its own files, so each file's slot has one writer.
        context_.transfers.post([&, k] {
            for (std::size_t j = k; j < misses.size() && !context_.stopping(); j += m) {
                std::size_t i = misses[j];
                auto info = fileInfo(api, *pool[k], phonePath(files.path(i)));
                if (!info.ok()) continue;
                auto stat = fileStat(info.value());
                if (!stat) continue;
                cache.store(files.folder(i), files.name(i), *stat);
                files.setSize(i, stat->size, stat->modified);
                MutexLock guard(shared.lock);
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
    for (auto& connection : extra) connection->close();
}

}  // namespace lumivane
