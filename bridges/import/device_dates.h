#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridges/common/import_source.h"
#include "bridges/import/import_history.h"
#include "bridges/import/item_copy.h"
#include "channel/encodable_value.h"

namespace lumivane {

// When every photo and video of a device was taken, read once in the
// background, for a client that sorts and groups a whole device by it (a
// screenful at a time would re-sort what is on screen as each batch comes).
// A reading lists the device, takes from the history what an earlier reading
// kept (the same path, size and time), reads the heads of the rest two at a
// time, and keeps what it read, so a device plugged in again is not read
// twice. Its progress is told at most every quarter second, and once when
// complete.
//
// Threads: ask(), forget() and stop() on the main loop. `run` puts work on
// the worker threads; `tell` brings a progress back to the main loop, where
// `told` hears it. A reading's counters are atomics; its results are written
// by its readers, one item each, and read once `complete` says they are done.
class DeviceDates {
public:
    struct Progress {
        std::int64_t done = 0, total = 0;
        bool complete = false;
    };
    using Told = std::function<void(const std::string& kind, const std::string& id, const Progress&)>;
    using Post = std::function<void(std::function<void()>)>;
    static constexpr std::chrono::milliseconds kTellEvery{250};
    static constexpr int kReaders = 2;

    DeviceDates(ItemCopy::Services services, std::string scratch, Post run, Post tell, Told told)
        : services_(services),
          scratch_(std::move(scratch)),
          run_(std::move(run)),
          tell_(std::move(tell)),
          told_(std::move(told)) {}
    ~DeviceDates() { stop(); }

    // How far the device's reading is, {"done", "total", "complete"}, and once
    // complete, "dates": every item's capture time (seconds since 1970 UTC)
    // by its path, leaving out those that do not say. A reading starts when
    // there is none, and also when `fresh` asks for one and none runs (the
    // device may have changed since the last). `history` may be null: then
    // nothing is kept.
    EncodableMap ask(const std::string& kind, const std::string& id, std::shared_ptr<ImportSource> source,
                     ImportHistory* history, bool fresh);
    // The device went: its reading stops and what it had is dropped.
    void forget(const std::string& kind, const std::string& id);
    // Every reading stops at its next item (the host is quitting).
    void stop();

private:
    struct Reading {
        std::shared_ptr<ImportSource> source;
        ImportHistory* history = nullptr;
        std::string kind, id;
        std::atomic<bool> stopped{false}, complete{false};
        std::atomic<std::int64_t> done{0}, total{0}, lastTold{0};
        std::atomic<std::size_t> next{0};
        std::atomic<int> readers{0};
        // Set before the readers start; then each entry of `taken` and `kept`
        // is written by the one reader that took its item.
        std::vector<ImportItem> items;
        std::vector<std::optional<std::int64_t>> taken;
        std::vector<char> kept;  // known from the history: nothing to read or keep

        Progress progress() const { return {done.load(), total.load(), complete.load()}; }
    };
    // On a worker: lists, takes what the history kept, and starts the readers.
    void begin(const std::shared_ptr<Reading>& reading);
    // On a worker: reads heads until none is left; the last reader to end
    // keeps what was read and completes the reading.
    void readHeads(const std::shared_ptr<Reading>& reading);
    // Tells the reading's progress on the main loop, unless it was told
    // within kTellEvery (always when complete).
    void tellProgress(const std::shared_ptr<Reading>& reading);
    static EncodableMap answer(const Reading& reading);

    ItemCopy::Services services_;
    std::string scratch_;
    Post run_, tell_;
    Told told_;
    std::map<std::pair<std::string, std::string>, std::shared_ptr<Reading>> readings_;  // by kind and id
};

}  // namespace lumivane
