#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/result.h"

namespace lumivane {

// One file on a device, as an import sees it.
struct ImportItem {
    std::string path;       // as the device's own listing names it
    std::int64_t size = 0;  // bytes
    double modified = 0;    // the file's time, seconds since 1970 UTC
    // Which file this is on the device where the device says (a volume's
    // inode), 0 where unknown: a file replaced under the same name is another
    // file. Known from the listing only, never recorded.
    std::uint64_t fileId = 0;
};

// A device that photos and videos are imported from: a phone, a camera or a
// mounted volume. Each bridge with devices implements it over its own links;
// the import engine knows nothing else of them.
//
// Threads: every method but notReady() and eject() blocks and runs on the
// import's worker threads (never the main loop), several at once, reads of
// different items in parallel. A device that went away answers
// Error::Code::unavailable; the host going away does too.
class ImportSource {
public:
    using Sink = std::function<Result<void>(const std::uint8_t* data, std::size_t size)>;

    virtual ~ImportSource() = default;
    // What "{device}" names it by.
    virtual std::string name() const = 0;
    // What stays the same for this device across attaches and restarts (a
    // phone's UDID, a camera's serial number, a volume's UUID): the history's key.
    virtual std::string identity() const = 0;
    // Whether remove() may be asked of it: removable volumes (cards, USB
    // disks) and cameras; never phones, internal disks or the system's own.
    virtual bool canDelete() const = 0;
    // Any thread: why nothing can be imported from the device yet (a phone
    // that does not trust this computer), or empty when it can.
    virtual std::string notReady() const { return {}; }
    // Main loop: lets the device go (a volume unmounted and ejected, a camera
    // asked to eject); `done` gets the outcome on the main loop. A device
    // that cannot be ejected (a phone) answers Error::Code::unavailable.
    virtual void eject(std::function<void(Result<void>)> done) {
        done(failure(Error{Error::Code::unavailable, "This device is not ejected: unplug it."}));
    }

    // Every photo, video and sidecar (.XMP, .AAE) on the device.
    virtual Result<std::vector<ImportItem>> list() = 0;
    // The item's bytes in order into `sink` (which may refuse, ending the
    // read with its error); between chunks, `cancelled()` ends it with
    // Error::Code::cancelled.
    virtual Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) = 0;
    // At most `length` bytes of the item from `offset` into `sink`, for a
    // device that can start a read anywhere (a volume, a phone, a camera
    // that reads parts of files); the others answer
    // Error::Code::unavailable, and a caller then does without.
    virtual Result<void> readAt(const ImportItem& item, std::int64_t offset, std::size_t length, const Sink& sink) {
        (void)item, (void)offset, (void)length, (void)sink;
        return failure(Error{Error::Code::unavailable, "This device reads an item only from its start."});
    }
    // Deletes the item from the device, only while it is still the file
    // listed: the same file (`fileId` where known, else the device's own item)
    // of the same size and time; one that changed is kept, with an error.
    // That its bytes are still the copy's is the caller's to prove first.
    virtual Result<void> remove(const ImportItem& item) = 0;
};

// Where the import engine finds sources: each bridge with devices adds its
// kind ("iphone", "camera", "volume") and says when one of its devices
// becomes available, so that an interrupted import can go on.
//
// What is added or watched stays only while its Registration is held:
// dropping it takes the kind or the watcher away, so a bridge that goes
// takes its devices with it, whatever the order bridges go in.
//
// Threads: main loop only. A Registration may outlive it.
class ImportSources {
public:
    using Open = std::function<Result<std::shared_ptr<ImportSource>>(const std::string& id)>;
    using Arrival = std::function<void(const std::string& kind, const std::string& id)>;
    using Registration = std::shared_ptr<void>;

    [[nodiscard]] Registration add(const std::string& kind, Open open) {
        auto id = table_->next++;
        table_->openers[kind] = {id, std::move(open)};
        return release([kind, id](Table& table) {
            if (auto found = table.openers.find(kind); found != table.openers.end() && found->second.first == id)
                table.openers.erase(found);
        });
    }
    // The device `id` of `kind` as a source, or why not (an unknown kind is
    // Error::Code::badInput; a device not there now, Error::Code::notFound).
    Result<std::shared_ptr<ImportSource>> open(const std::string& kind, const std::string& id) const {
        auto found = table_->openers.find(kind);
        if (found == table_->openers.end())
            return failure(Error{Error::Code::badInput, "No import source of kind \"" + kind + "\"."});
        auto open = found->second.second;  // held while it runs, whatever it adds or drops
        return open(id);
    }

    // A device has become available (again).
    void arrived(const std::string& kind, const std::string& id) const { tell(table_->arrivals, kind, id); }
    // A device has gone (unplugged, unmounted, removed): imports from it
    // stop now rather than when a read of theirs fails.
    void departed(const std::string& kind, const std::string& id) const { tell(table_->departures, kind, id); }
    [[nodiscard]] Registration watchArrivals(Arrival arrival) { return watch(&Table::arrivals, std::move(arrival)); }
    [[nodiscard]] Registration watchDepartures(Arrival departure) {
        return watch(&Table::departures, std::move(departure));
    }

private:
    struct Table {
        int next = 0;
        std::map<std::string, std::pair<int, Open>> openers;
        std::map<int, Arrival> arrivals, departures;
    };
    Registration release(std::function<void(Table&)> drop) {
        std::weak_ptr<Table> table = table_;
        return Registration(static_cast<void*>(nullptr), [table, drop = std::move(drop)](void*) {
            if (auto alive = table.lock()) drop(*alive);
        });
    }
    Registration watch(std::map<int, Arrival> Table::*watchers, Arrival watcher) {
        auto id = table_->next++;
        ((*table_).*watchers)[id] = std::move(watcher);
        return release([watchers, id](Table& table) { (table.*watchers).erase(id); });
    }
    // Each watcher that is still there when its turn comes: one may drop another.
    static void tell(const std::map<int, Arrival>& watchers, const std::string& kind, const std::string& id) {
        std::vector<int> ids;
        for (const auto& [key, watcher] : watchers) ids.push_back(key);
        for (int key : ids)
            if (auto found = watchers.find(key); found != watchers.end()) {
                auto watcher = found->second;
                watcher(kind, id);
            }
    }

    std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

}  // namespace lumivane
