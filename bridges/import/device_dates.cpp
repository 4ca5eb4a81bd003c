#include "bridges/import/device_dates.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <unordered_map>

#include "bridges/import/capture_dates.h"
#include "bridges/import/item_groups.h"

namespace lumivane {

namespace {

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

EncodableMap DeviceDates::ask(const std::string& kind, const std::string& id, std::shared_ptr<ImportSource> source,
                              ImportHistory* history, bool fresh) {
    auto& reading = readings_[{kind, id}];
    bool running = reading && !reading->complete.load();
    if (!reading || (fresh && !running)) {
        reading = std::make_shared<Reading>();
        reading->source = std::move(source);
        reading->history = history;
        reading->kind = kind;
        reading->id = id;
        run_([this, reading] { begin(reading); });
    }
    return answer(*reading);
}

void DeviceDates::forget(const std::string& kind, const std::string& id) {
    auto found = readings_.find({kind, id});
    if (found == readings_.end()) return;
    found->second->stopped = true;
    readings_.erase(found);
}

void DeviceDates::stop() {
    for (auto& [key, reading] : readings_) reading->stopped = true;
    readings_.clear();
}

void DeviceDates::begin(const std::shared_ptr<Reading>& reading) {
    auto listed =
        reading->stopped ? Result<std::vector<ImportItem>>(std::vector<ImportItem>{}) : reading->source->list();
    if (listed.ok()) {
        // Sidecars are shown with their photo and hold no date of their own.
        for (auto& item : listed.value())
            if (!isSidecar(item.path)) reading->items.push_back(std::move(item));
    }
    auto count = reading->items.size();
    reading->taken.assign(count, std::nullopt);
    reading->kept.assign(count, 0);
    if (reading->history && count > 0) {
        std::unordered_map<std::string, ImportHistory::CaptureTime> known;
        for (auto& time : reading->history->captureTimes(reading->source->identity()))
            known.emplace(time.item.path, std::move(time));
        std::int64_t fromHistory = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const auto& item = reading->items[i];
            auto found = known.find(item.path);
            if (found == known.end() || found->second.item.size != item.size ||
                found->second.item.modified != std::floor(item.modified))
                continue;
            reading->taken[i] = found->second.taken;
            reading->kept[i] = 1;
            ++fromHistory;
        }
        reading->done = fromHistory;
    }
    reading->total = static_cast<std::int64_t>(count);
    reading->readers = kReaders;
    for (int i = 1; i < kReaders; ++i) run_([this, reading] { readHeads(reading); });
    readHeads(reading);
}

void DeviceDates::readHeads(const std::shared_ptr<Reading>& reading) {
    std::error_code ignored;  // a folder that cannot be made gives no dates
    std::filesystem::create_directories(scratch_, ignored);
    CaptureDates heads(services_, scratch_);
    for (;;) {
        auto i = reading->next.fetch_add(1);
        if (i >= reading->items.size() || reading->stopped) break;
        if (reading->kept[i]) continue;
        reading->taken[i] = heads.of(*reading->source, reading->items[i]);
        ++reading->done;
        tellProgress(reading);
    }
    if (reading->readers.fetch_sub(1) != 1) return;
    // The last reader: every item has its answer, or the reading was stopped.
    if (reading->stopped) return;
    if (reading->history) {
        std::vector<ImportHistory::CaptureTime> read;
        for (std::size_t i = 0; i < reading->items.size(); ++i)
            if (!reading->kept[i]) read.push_back({reading->items[i], reading->taken[i]});
        // Not kept (a full disk): the next reading reads them again.
        if (!read.empty()) (void)reading->history->keepCaptureTimes(reading->source->identity(), read);
    }
    reading->complete = true;
    tellProgress(reading);
}

void DeviceDates::tellProgress(const std::shared_ptr<Reading>& reading) {
    auto now = steadyMilliseconds();
    auto last = reading->lastTold.load();
    bool complete = reading->complete.load();
    if (!complete && (now - last < kTellEvery.count() || !reading->lastTold.compare_exchange_strong(last, now))) return;
    tell_([this, reading] {
        if (!reading->stopped) told_(reading->kind, reading->id, reading->progress());
    });
}

EncodableMap DeviceDates::answer(const Reading& reading) {
    auto progress = reading.progress();
    EncodableMap answer{{"done", progress.done}, {"total", progress.total}, {"complete", progress.complete}};
    if (!progress.complete) return answer;
    EncodableMap dates;
    for (std::size_t i = 0; i < reading.items.size(); ++i)
        if (reading.taken[i]) dates.set(reading.items[i].path, *reading.taken[i]);
    answer.set("dates", std::move(dates));
    return answer;
}

}  // namespace lumivane
