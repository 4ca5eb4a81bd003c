#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bridges/common/event_handler.h"
#include "bridges/common/import_source.h"
#include "bridges/import/destination_contents.h"
#include "bridges/import/import_history.h"
#include "bridges/import/import_request.h"
#include "bridges/import/item_copy.h"
#include "bridges/import/paced_source.h"
#include "channel/encodable_value.h"
#include "runtime/clock.h"
#include "runtime/mutex.h"

namespace lumivane {

// One import job running: lists its source (on a first run), then copies its
// pending items a few at a time, each group of items that travel together
// (a RAW and its JPEG twin, their sidecars) by one worker, recording every
// outcome in the history as it happens and sending progress, item and done
// events. It runs one worker more than the device's `readers`: reads take
// turns, so one worker can finish a copy while the device reads the next.
//
// A device that goes away, or a destination that fills up, is removed,
// replaced or stops taking files, interrupts the job: the item in hand goes
// back to pending (its partial copy removed) and no new item starts;
// resuming later copies exactly the pending ones. A job whose items were
// never recorded lists its source again when it resumes.
//
// Each item is decided (cancelled, already imported, or only its backup
// missing), copied, then finished (backed up, deleted from the device once a
// fresh read of it equals the copy, recorded).
//
// Threads: made and started on the main loop; run() on a worker thread,
// work() on up to `readers` + 1 worker threads at once; cancel(), stop() and
// deviceLeft() from any thread. `lock_` guards the items' states, the
// cancelled set and the job's end cause.
class ImportJob : public std::enable_shared_from_this<ImportJob> {
public:
    struct Setup {
        ImportHistory& history;
        ItemCopy::Services services;
        std::shared_ptr<EventHandler> events;  // "lumivane/import/events"
        const Clock& clock;
    };

    ImportJob(Setup setup, ImportHistory::Job record, ImportRequest request, std::shared_ptr<ImportSource> source,
              CopyPlan plan);

    const std::string& id() const { return record_.id; }
    const ImportRequest& request() const { return request_; }
    // The worker's part: lists (first run) or reloads the items, then copies
    // with `readers` + 1 workers started through `spawn`, at most `readers`
    // of them reading from the device at once, and calls `finished` with the
    // job's final state once every worker is done.
    void run(bool firstRun, int readers, const std::function<void(std::function<void()>)>& spawn,
             std::function<void(JobState state)> finished);
    void cancel();
    // The host is going: end at the next chunk, the job left "interrupted".
    void stop();
    // The device went away: end at the next chunk, the job left "interrupted".
    void deviceLeft();
    void cancelItem(const std::string& source);
    // False from the moment its end is recorded, before its "done" event.
    bool running() const { return !ended_; }
    // Where each item stands now; none until the job has its items (it is
    // still listing or reading them).
    std::optional<std::vector<ImportHistory::Item>> items() const;

private:
    struct Unit {
        std::vector<std::size_t> members;  // indices into items_, the lead first
    };
    class ItemWatch;
    void work();
    void copyUnit(const Unit& unit);
    // Once a unit's copies are made: the rating a person gave it, if any,
    // goes into its copies' XMP sidecars, and the host forgets it.
    void keepRating(const Unit& unit);
    // Ends the item before any copy when there is nothing to copy (it was
    // imported before; only its backup was missing); whether it did.
    bool decide(std::size_t index, ImportHistory::Item& item);
    // After its copy: its backup, its deletion from the device, its record.
    void afterCopy(std::size_t index, ImportHistory::Item item);
    // Why the device's item may not be deleted (empty when it was): only a
    // file whose bytes, read again now, are the verified copy's.
    std::string removeFromDevice(const ImportHistory::Item& item);
    // The job is ending (cancelled, stopped, interrupted): work in hand stops.
    bool ending();
    // The one way an item moves (to `to`, for `reason`): checked against the
    // rules, recorded, counted and announced; a history that cannot record
    // it interrupts the job and the item stays where it was.
    void transition(std::size_t index, ImportHistory::Item item, ItemState to, std::string reason);
    // The job ends as `state` for `why`, at its workers' next step; the first
    // cause is the one that counts.
    void endWith(JobState state, const Error& why);
    // Before the workers start, when the items are the running thread's alone.
    std::vector<Unit> plan() const LUMIVANE_NO_THREAD_SAFETY_ANALYSIS;
    // What a first run copies of the device's listing: everything, sorted
    // by path, or the items asked for, each with its companions when asked.
    std::vector<ImportItem> choose(std::vector<ImportItem> listed) const;
    // Finds the copy of a pending item that a stopped host put in place but
    // did not record, by its intended name and hash; sets its `path`.
    bool resumeFoundCopy(ImportHistory::Item& item);
    void progress(std::int64_t bytes, bool force);
    void end();
    // The job's log beside its copies ("log"); the path it took.
    Result<std::string> writeLog(JobState state, const std::string& reason, const ImportHistory::Counts& counts);
    double nowSeconds() const;

    Setup setup_;
    ImportHistory::Job record_;
    ImportRequest request_;
    std::shared_ptr<ImportSource> source_;
    std::unique_ptr<PacedSource> paced_;  // source_'s reads, taking turns; set by run()
    CopyPlan plan_;
    ItemCopy copier_;
    std::unique_ptr<DestinationContents> contents_;  // with "skipDuplicates" only

    mutable Mutex lock_;
    bool haveItems_ LUMIVANE_GUARDED_BY(lock_) = false;
    std::vector<ImportHistory::Item> items_ LUMIVANE_GUARDED_BY(lock_);
    std::set<std::string> cancelledItems_ LUMIVANE_GUARDED_BY(lock_);
    struct Ending {
        JobState state;
        Error why;
    };
    std::optional<Ending> ending_ LUMIVANE_GUARDED_BY(lock_);
    std::chrono::steady_clock::time_point lastProgress_ LUMIVANE_GUARDED_BY(lock_);

    std::vector<Unit> units_;                              // set before the workers start, read-only after
    std::map<std::string, std::uint64_t> listedIds_;       // item path to its file's identity; likewise
    std::map<std::string, ImportHistory::Rated> ratings_;  // by item path; likewise
    std::atomic<std::size_t> nextUnit_{0};
    std::atomic<int> workers_{0};
    std::atomic<bool> ended_{false};
    std::atomic<std::int64_t> bytesDone_{0}, totalBytes_{0}, itemsDone_{0}, total_{0};
    std::chrono::steady_clock::time_point started_;
    std::function<void(JobState)> finished_;
};

}  // namespace lumivane
