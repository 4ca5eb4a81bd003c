#pragma once
#include <sqlite3.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridges/common/import_source.h"
#include "bridges/import/import_state.h"
#include "platform/photo_metadata.h"
#include "runtime/log.h"
#include "runtime/mutex.h"

namespace lumivane {

// The import history and journal: one SQLite file in the host's data folder.
// It holds every job (its request, state and source), every item of every
// job (where it stands, where it went, why it was skipped or failed) and,
// per device identity and source item (path, size, time), every copy made
// (final path, content hash), which is what "only new" asks.
//
// Written in WAL mode with each change its own transaction, so a host killed
// at any moment finds every change it had made, and none half made.
//
// A file that SQLite cannot read as a history, or a link in its place, is
// moved aside ("<file>.corrupt-<time>") and a new one started, with one line
// in the log; the host keeps working, and never writes through a link.
//
// Every job and its counts are also kept in memory, in step with each
// write, so "what jobs are there and how far are they" never waits for the
// file (another process reading it, a slow disk): job(), jobs() and
// counts() do not touch SQLite and may be asked on the main loop.
//
// Threads: any; `lock_` guards the connection for the length of each call,
// `keptLock_` the jobs kept in memory (taken after `lock_`, never before).
class ImportHistory {
public:
    struct Job {
        std::string id;
        double created = 0;  // seconds since 1970 UTC
        JobState state = JobState::running;
        std::string request;       // the start arguments, as JSON
        std::string kind, source;  // the source's kind and id
        std::string identity, device;
        std::string reason;  // why it was interrupted or failed, a sentence
    };
    struct Item {
        int seq = 0;  // its place in the job, from 1
        ImportItem item;
        ItemState state = ItemState::pending;
        std::string path, backup, reason, hash;
        // Where a copy was being put when the host last wrote (folder "/"
        // name): how a resume finds a copy that was made but not recorded.
        std::string intent;
    };
    struct Counts {
        std::int64_t total = 0, imported = 0, skipped = 0, failed = 0, bytes = 0, totalBytes = 0;
    };
    struct Previous {
        std::string path, job;
        double at = 0;
        std::string hash;
        bool whole = true;  // false: the copy is in place but its item failed after it (its backup)
    };

    // Opens the history at `path`, starting a new one when there is none or
    // when the one there is damaged (it is moved aside). A history that
    // cannot be opened for now (held by another program, a full disk) fails
    // and stays as it is. Waits up to 5 s for a file another program holds.
    static Result<std::unique_ptr<ImportHistory>> open(const std::string& path, Log& log);
    ~ImportHistory();

    Result<void> addJob(const Job& job);
    Result<void> setJobState(const std::string& id, JobState state, const std::string& reason = {});
    // Every job still "running" becomes "interrupted" (a host that starts has none running).
    Result<void> interruptRunning();
    // From memory.
    std::optional<Job> job(const std::string& id) const;
    std::vector<Job> jobs() const;  // newest first
    Counts counts(const std::string& id) const;

    Result<void> addItems(const std::string& job, const std::vector<ImportItem>& items);
    // From the file.
    std::vector<Item> items(const std::string& job);
    Result<void> setIntent(const std::string& job, int seq, const std::string& hash, const std::string& intent);
    // The item's outcome; a copy in place (`path` and `hash` set: imported,
    // or failed after its copy) is also recorded as a copy of its source
    // item on device `identity`, in the same transaction.
    Result<void> finishItem(const std::string& job, const Item& item, const std::string& identity, double now);

    // The item goes back to pending and its copy is forgotten (the copy
    // was lost with its folder): a resume copies it again.
    Result<void> forgetCopy(const std::string& job, const Item& item, const std::string& identity);

    // The copy made before of this item of this device, if any.
    std::optional<Previous> previous(const std::string& identity, const ImportItem& item);

    // When a device's items were taken, as read from their heads, kept so a
    // device that comes back is not read again: one per item path, standing
    // for the item only while its size and time (whole seconds) are the same.
    struct CaptureTime {
        ImportItem item;
        std::optional<std::int64_t> taken;  // seconds since 1970 UTC; none: the item does not say
    };
    std::vector<CaptureTime> captureTimes(const std::string& identity);
    // Kept in one transaction, each replacing what was kept for its path.
    Result<void> keepCaptureTimes(const std::string& identity, const std::vector<CaptureTime>& times);

    // How a person rated a device's items while choosing what to import,
    // kept until each is imported: one per item path, standing for the item
    // only while its size and time (whole seconds) are the same.
    struct Rated {
        ImportItem item;
        PhotoRating rating;
    };
    std::vector<Rated> ratings(const std::string& identity);
    // Kept in one transaction, each replacing what was kept for its path; a
    // rating of nothing (no stars, no pick) forgets the item's.
    Result<void> rate(const std::string& identity, const std::vector<Rated>& ratings);

    const std::string& path() const { return path_; }

private:
    struct Kept {
        Job job;
        Counts counts;
    };
    ImportHistory(std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}
    static Result<sqlite3*> openAndCheck(const std::string& path);
    Result<void> exec(const char* sql) LUMIVANE_REQUIRES(lock_);
    // Commits the open transaction, or rolls it back when it cannot.
    Result<void> commit() LUMIVANE_REQUIRES(lock_);
    // Reads every job and its counts into memory, once, when opened.
    void keepAll() LUMIVANE_REQUIRES(lock_);
    // The item's recorded state, read inside the transaction that changes it.
    std::optional<ItemState> stateOf(const std::string& job, int seq) LUMIVANE_REQUIRES(lock_);
    // The item moved from `from` to `to`: its job's counts follow.
    void recount(const std::string& job, std::int64_t size, ItemState from, ItemState to);
    Kept* kept(const std::string& id) LUMIVANE_REQUIRES(keptLock_);
    const Kept* kept(const std::string& id) const LUMIVANE_REQUIRES(keptLock_);

    std::string path_;
    Mutex lock_;
    sqlite3* db_ LUMIVANE_PT_GUARDED_BY(lock_);
    mutable Mutex keptLock_;
    std::vector<Kept> kept_ LUMIVANE_GUARDED_BY(keptLock_);  // newest first
};

}  // namespace lumivane
