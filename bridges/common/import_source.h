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
// Threads: every method blocks and runs on the import's worker threads (never
// the main loop), several at once, reads of different items in parallel.
// A device that went away answers Error::Code::unavailable; the host going
// away does too.
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

    // Every photo, video and sidecar (.XMP, .AAE) on the device.
    virtual Result<std::vector<ImportItem>> list() = 0;
    // The item's bytes in order into `sink` (which may refuse, ending the
    // read with its error); between chunks, `cancelled()` ends it with
    // Error::Code::cancelled.
    virtual Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) = 0;
    // At most `length` bytes of the item from `offset` into `sink`, for a
    // device that can start a read anywhere (a volume); the others answer
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
// Threads: main loop only. The host owns it and it outlives every bridge.
class ImportSources {
public:
    using Open = std::function<Result<std::shared_ptr<ImportSource>>(const std::string& id)>;
    using Arrival = std::function<void(const std::string& kind, const std::string& id)>;

    void add(const std::string& kind, Open open) { openers_[kind] = std::move(open); }
    // The device `id` of `kind` as a source, or why not (an unknown kind is
    // Error::Code::badInput; a device not there now, Error::Code::notFound).
    Result<std::shared_ptr<ImportSource>> open(const std::string& kind, const std::string& id) const {
        auto found = openers_.find(kind);
        if (found == openers_.end())
            return failure(Error{Error::Code::badInput, "No import source of kind \"" + kind + "\"."});
        return found->second(id);
    }

    // A device has become available (again).
    void arrived(const std::string& kind, const std::string& id) {
        for (const auto& watcher : arrivals_) watcher(kind, id);
    }
    // A device has gone (unplugged, unmounted, removed): imports from it
    // stop now rather than when a read of theirs fails.
    void departed(const std::string& kind, const std::string& id) {
        for (const auto& watcher : departures_) watcher(kind, id);
    }
    void watchArrivals(Arrival arrival) { arrivals_.push_back(std::move(arrival)); }
    void watchDepartures(Arrival departure) { departures_.push_back(std::move(departure)); }

private:
    std::map<std::string, Open> openers_;
    std::vector<Arrival> arrivals_, departures_;
};

}  // namespace lumivane
