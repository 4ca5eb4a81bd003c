#include "bridges/import/import_history.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

namespace lumivane {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS jobs(
  id TEXT PRIMARY KEY, created REAL NOT NULL, state TEXT NOT NULL, request TEXT NOT NULL,
  kind TEXT NOT NULL, source TEXT NOT NULL, identity TEXT NOT NULL, device TEXT NOT NULL,
  reason TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS items(
  job TEXT NOT NULL, seq INTEGER NOT NULL, source TEXT NOT NULL, size INTEGER NOT NULL, modified REAL NOT NULL,
  state TEXT NOT NULL DEFAULT 'pending', path TEXT NOT NULL DEFAULT '', backup TEXT NOT NULL DEFAULT '',
  reason TEXT NOT NULL DEFAULT '', hash TEXT NOT NULL DEFAULT '', intent TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(job, seq)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS copies(
  identity TEXT NOT NULL, source TEXT NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL,
  path TEXT NOT NULL, hash TEXT NOT NULL, job TEXT NOT NULL, at REAL NOT NULL, whole INTEGER NOT NULL DEFAULT 1,
  PRIMARY KEY(identity, source, size, modified)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS capture_times(
  identity TEXT NOT NULL, source TEXT NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL, taken INTEGER,
  PRIMARY KEY(identity, source)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS ratings(
  identity TEXT NOT NULL, source TEXT NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL,
  stars INTEGER NOT NULL, pick INTEGER NOT NULL, PRIMARY KEY(identity, source)) WITHOUT ROWID;
)sql";

// Added to a history made before copies could lack their backup.
constexpr const char* kWholeColumn = "ALTER TABLE copies ADD COLUMN whole INTEGER NOT NULL DEFAULT 1";

// One prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int at, const std::string& text) {
        sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int at, std::int64_t value) {
        sqlite3_bind_int64(statement_, at, value);
        return *this;
    }
    Statement& bind(int at, double value) {
        sqlite3_bind_double(statement_, at, value);
        return *this;
    }
    Statement& bind(int at, std::optional<std::int64_t> value) {
        if (value) return bind(at, *value);
        sqlite3_bind_null(statement_, at);
        return *this;
    }
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return statement_ ? sqlite3_step(statement_) : SQLITE_ERROR; }
    std::string text(int column) const {
        auto* bytes = sqlite3_column_text(statement_, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                   static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                     : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double real(int column) const { return sqlite3_column_double(statement_, column); }
    bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

private:
    sqlite3_stmt* statement_ = nullptr;
};

Error sqliteError(sqlite3* db) {
    int code = sqlite3_errcode(db);
    auto kind = code == SQLITE_FULL ? Error::Code::unavailable : Error::Code::failed;
    return Error{kind, std::string("The import history could not be written: ") + sqlite3_errmsg(db)};
}

// Whole seconds of a file time, as the history keys items by.
std::int64_t wholeSeconds(double seconds) { return static_cast<std::int64_t>(std::floor(seconds)); }

ImportHistory::Job jobFrom(const Statement& row) {
    // A state this host does not know reads as interrupted: resumable, never running.
    return {row.text(0), row.real(1), jobStateFrom(row.text(2)).value_or(JobState::interrupted),
            row.text(3), row.text(4), row.text(5),
            row.text(6), row.text(7), row.text(8)};
}

bool hasColumn(sqlite3* db, const char* table, const char* column) {
    Statement info(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
    while (info.step() == SQLITE_ROW)
        if (info.text(1) == column) return true;
    return false;
}

}  // namespace

Result<sqlite3*> ImportHistory::openAndCheck(const std::string& path) {
    sqlite3* db = nullptr;
    int opened =
        // Never through a link: a link to any file would have it taken over as a history.
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
                        nullptr);
    // Only a file that is not a database, a damaged one or a link in the
    // history's place is unreadable; a file held by another program, a full
    // disk or a refused write is a failure for now, and stays as it is.
    auto fail = [&](int code, std::string why) -> Result<sqlite3*> {
        if (db) sqlite3_close(db);
        bool unreadable =
            (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB || code == SQLITE_CANTOPEN_SYMLINK;
        return failure(Error{unreadable ? Error::Code::badInput : Error::Code::unavailable, std::move(why)});
    };
    if (opened != SQLITE_OK)
        return db ? fail(sqlite3_extended_errcode(db), sqlite3_errmsg(db)) : fail(opened, "out of memory");
    sqlite3_busy_timeout(db, 5000);
    // A file SQLite cannot read shows here, before anything is written to it.
    {
        Statement check(db, "PRAGMA quick_check");
        int step = check.step();
        if (step != SQLITE_ROW) return fail(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
        if (check.text(0) != "ok") return fail(SQLITE_CORRUPT, check.text(0));
    }
    char* message = nullptr;
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, &message) !=
            SQLITE_OK ||
        sqlite3_exec(db, kSchema, nullptr, nullptr, &message) != SQLITE_OK ||
        (!hasColumn(db, "copies", "whole") &&
         sqlite3_exec(db, kWholeColumn, nullptr, nullptr, &message) != SQLITE_OK)) {
        std::string why = message ? message : "unknown error";
        sqlite3_free(message);
        return fail(sqlite3_extended_errcode(db), why);
    }
    return db;
}

Result<std::unique_ptr<ImportHistory>> ImportHistory::open(const std::string& path, Log& log) {
    auto opened = openAndCheck(path);
    if (!opened.ok() && opened.error().code == Error::Code::badInput) {
        // Kept beside it for whoever wants to look, never written again.
        std::string aside = path + ".corrupt-" + std::to_string(std::time(nullptr));
        std::rename(path.c_str(), aside.c_str());
        for (const char* suffix : {"-wal", "-shm"}) std::remove((path + suffix).c_str());
        log.write("Lumivane import history: " + path + " could not be read (" + opened.error().message +
                  "); it was moved to " + aside + " and a new history started.");
        opened = openAndCheck(path);
    }
    if (!opened.ok()) return failure(opened.error());
    std::unique_ptr<ImportHistory> history(new ImportHistory(path, opened.value()));
    MutexLock guard(history->lock_);
    history->keepAll();
    return history;
}

void ImportHistory::keepAll() {
    std::vector<Kept> kept;
    std::map<std::string, std::size_t> at;
    Statement jobs(
        db_,
        "SELECT id,created,state,request,kind,source,identity,device,reason FROM jobs ORDER BY created DESC, "
        "rowid DESC");
    while (jobs.step() == SQLITE_ROW) {
        at[jobs.text(0)] = kept.size();
        kept.push_back({jobFrom(jobs), {}});
    }
    Statement counts(db_, "SELECT job, state, count(*), sum(size) FROM items GROUP BY job, state");
    while (counts.step() == SQLITE_ROW) {
        auto found = at.find(counts.text(0));
        if (found == at.end()) continue;
        auto& into = kept[found->second].counts;
        auto number = counts.integer(2), bytes = counts.integer(3);
        into.total += number;
        into.totalBytes += bytes;
        switch (itemStateFrom(counts.text(1)).value_or(ItemState::pending)) {
            case ItemState::imported: into.imported += number, into.bytes += bytes; break;
            case ItemState::skipped: into.skipped += number; break;
            case ItemState::failed: into.failed += number; break;
            case ItemState::pending: break;
        }
    }
    MutexLock guard(keptLock_);
    kept_ = std::move(kept);
}

ImportHistory::Kept* ImportHistory::kept(const std::string& id) {
    auto found = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& each) { return each.job.id == id; });
    return found == kept_.end() ? nullptr : &*found;
}

const ImportHistory::Kept* ImportHistory::kept(const std::string& id) const {
    auto found = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& each) { return each.job.id == id; });
    return found == kept_.end() ? nullptr : &*found;
}

std::optional<ItemState> ImportHistory::stateOf(const std::string& job, int seq) {
    Statement select(db_, "SELECT state FROM items WHERE job=? AND seq=?");
    select.bind(1, job).bind(2, std::int64_t{seq});
    if (select.step() != SQLITE_ROW) return std::nullopt;
    return itemStateFrom(select.text(0)).value_or(ItemState::pending);
}

void ImportHistory::recount(const std::string& job, std::int64_t size, ItemState from, ItemState to) {
    MutexLock guard(keptLock_);
    auto* found = kept(job);
    if (!found || from == to) return;
    auto& counts = found->counts;
    for (auto [state, sign] : {std::pair{from, -1}, std::pair{to, 1}}) {
        switch (state) {
            case ItemState::imported: counts.imported += sign, counts.bytes += sign * size; break;
            case ItemState::skipped: counts.skipped += sign; break;
            case ItemState::failed: counts.failed += sign; break;
            case ItemState::pending: break;
        }
    }
}

ImportHistory::~ImportHistory() {
    MutexLock guard(lock_);
    sqlite3_close(db_);
}

Result<void> ImportHistory::exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return failure(sqliteError(db_));
    return {};
}

Result<void> ImportHistory::commit() {
    auto committed = exec("COMMIT");
    // A commit that failed leaves the transaction open: nothing of it counts.
    if (!committed.ok()) (void)exec("ROLLBACK");
    return committed;
}

Result<void> ImportHistory::addJob(const Job& job) {
    MutexLock guard(lock_);
    Statement insert(db_, "INSERT INTO jobs VALUES(?,?,?,?,?,?,?,?,?)");
    insert.bind(1, job.id).bind(2, job.created).bind(3, std::string(textOf(job.state))).bind(4, job.request);
    insert.bind(5, job.kind).bind(6, job.source).bind(7, job.identity).bind(8, job.device).bind(9, job.reason);
    if (insert.step() != SQLITE_DONE) return failure(sqliteError(db_));
    MutexLock kept(keptLock_);
    // Newest first: a job made now goes before every job made earlier.
    auto after =
        std::find_if(kept_.begin(), kept_.end(), [&](const Kept& each) { return each.job.created <= job.created; });
    kept_.insert(after, Kept{job, {}});
    return {};
}

Result<void> ImportHistory::setJobState(const std::string& id, JobState state, const std::string& reason) {
    MutexLock guard(lock_);
    Statement update(db_, "UPDATE jobs SET state=?, reason=? WHERE id=?");
    update.bind(1, std::string(textOf(state))).bind(2, reason).bind(3, id);
    if (update.step() != SQLITE_DONE) return failure(sqliteError(db_));
    MutexLock kept(keptLock_);
    if (auto* found = this->kept(id)) found->job.state = state, found->job.reason = reason;
    return {};
}

Result<void> ImportHistory::interruptRunning() {
    MutexLock guard(lock_);
    if (auto done = exec("UPDATE jobs SET state='interrupted' WHERE state='running'"); !done.ok()) return done;
    MutexLock kept(keptLock_);
    for (auto& each : kept_)
        if (each.job.state == JobState::running) each.job.state = JobState::interrupted;
    return {};
}

std::optional<ImportHistory::Job> ImportHistory::job(const std::string& id) const {
    MutexLock guard(keptLock_);
    const auto* found = kept(id);
    return found ? std::optional<Job>(found->job) : std::nullopt;
}

std::vector<ImportHistory::Job> ImportHistory::jobs() const {
    MutexLock guard(keptLock_);
    std::vector<Job> jobs;
    for (const auto& each : kept_) jobs.push_back(each.job);
    return jobs;
}

ImportHistory::Counts ImportHistory::counts(const std::string& id) const {
    MutexLock guard(keptLock_);
    const auto* found = kept(id);
    return found ? found->counts : Counts{};
}

Result<void> ImportHistory::addItems(const std::string& job, const std::vector<ImportItem>& items) {
    MutexLock guard(lock_);
    if (auto begun = exec("BEGIN IMMEDIATE"); !begun.ok()) return begun;
    Statement insert(db_, "INSERT INTO items(job,seq,source,size,modified) VALUES(?,?,?,?,?)");
    for (std::size_t i = 0; i < items.size(); ++i) {
        insert.bind(1, job).bind(2, static_cast<std::int64_t>(i + 1)).bind(3, items[i].path);
        insert.bind(4, items[i].size).bind(5, items[i].modified);
        if (insert.step() != SQLITE_DONE) {
            auto error = sqliteError(db_);
            (void)exec("ROLLBACK");  // the error that made it is the one to report
            return failure(error);
        }
        insert.reset();
    }
    if (auto committed = commit(); !committed.ok()) return committed;
    MutexLock kept(keptLock_);
    if (auto* found = this->kept(job))
        for (const auto& item : items) ++found->counts.total, found->counts.totalBytes += item.size;
    return {};
}

std::vector<ImportHistory::Item> ImportHistory::items(const std::string& job) {
    MutexLock guard(lock_);
    std::vector<Item> items;
    Statement select(db_,
                     "SELECT seq,source,size,modified,state,path,backup,reason,hash,intent FROM items WHERE job=? "
                     "ORDER BY seq");
    select.bind(1, job);
    while (select.step() == SQLITE_ROW) {
        Item item;
        item.seq = static_cast<int>(select.integer(0));
        item.item = {select.text(1), select.integer(2), select.real(3)};
        item.state = itemStateFrom(select.text(4)).value_or(ItemState::pending);
        item.path = select.text(5);
        item.backup = select.text(6);
        item.reason = select.text(7);
        item.hash = select.text(8);
        item.intent = select.text(9);
        items.push_back(std::move(item));
    }
    return items;
}

Result<void> ImportHistory::setIntent(const std::string& job, int seq, const std::string& hash,
                                      const std::string& intent) {
    MutexLock guard(lock_);
    Statement update(db_, "UPDATE items SET hash=?, intent=? WHERE job=? AND seq=?");
    update.bind(1, hash).bind(2, intent).bind(3, job).bind(4, std::int64_t{seq});
    if (update.step() != SQLITE_DONE) return failure(sqliteError(db_));
    return {};
}

Result<void> ImportHistory::finishItem(const std::string& job, const Item& item, const std::string& identity,
                                       double now) {
    MutexLock guard(lock_);
    if (auto begun = exec("BEGIN IMMEDIATE"); !begun.ok()) return begun;
    auto was = stateOf(job, item.seq);
    Statement update(db_, "UPDATE items SET state=?, path=?, backup=?, reason=?, hash=? WHERE job=? AND seq=?");
    update.bind(1, std::string(textOf(item.state)))
        .bind(2, item.path)
        .bind(3, item.backup)
        .bind(4, item.reason)
        .bind(5, item.hash);
    update.bind(6, job).bind(7, std::int64_t{item.seq});
    bool ok = update.step() == SQLITE_DONE;
    // A copy in place is remembered even when its item failed after it (its
    // backup): a retry then makes only what is missing.
    if (ok && !item.path.empty() && !item.hash.empty()) {
        Statement insert(db_, "INSERT OR REPLACE INTO copies VALUES(?,?,?,?,?,?,?,?,?)");
        insert.bind(1, identity).bind(2, item.item.path).bind(3, item.item.size);
        insert.bind(4, wholeSeconds(item.item.modified)).bind(5, item.path).bind(6, item.hash);
        insert.bind(7, job).bind(8, now).bind(9, std::int64_t{item.state == ItemState::imported});
        ok = insert.step() == SQLITE_DONE;
    }
    if (!ok) {
        auto error = sqliteError(db_);
        (void)exec("ROLLBACK");  // the error that made it is the one to report
        return failure(error);
    }
    if (auto committed = commit(); !committed.ok()) return committed;
    if (was) recount(job, item.item.size, *was, item.state);
    return {};
}

Result<void> ImportHistory::forgetCopy(const std::string& job, const Item& item, const std::string& identity) {
    MutexLock guard(lock_);
    if (auto begun = exec("BEGIN IMMEDIATE"); !begun.ok()) return begun;
    auto was = stateOf(job, item.seq);
    Statement update(db_,
                     "UPDATE items SET state='pending', path='', backup='', reason='', hash='', intent='' "
                     "WHERE job=? AND seq=?");
    update.bind(1, job).bind(2, std::int64_t{item.seq});
    Statement remove(db_, "DELETE FROM copies WHERE identity=? AND source=? AND size=? AND modified=? AND job=?");
    remove.bind(1, identity).bind(2, item.item.path).bind(3, item.item.size);
    remove.bind(4, wholeSeconds(item.item.modified)).bind(5, job);
    if (update.step() != SQLITE_DONE || remove.step() != SQLITE_DONE) {
        auto error = sqliteError(db_);
        (void)exec("ROLLBACK");  // the error that made it is the one to report
        return failure(error);
    }
    if (auto committed = commit(); !committed.ok()) return committed;
    if (was) recount(job, item.item.size, *was, ItemState::pending);
    return {};
}

std::optional<ImportHistory::Previous> ImportHistory::previous(const std::string& identity, const ImportItem& item) {
    MutexLock guard(lock_);
    Statement select(
        db_, "SELECT path, job, at, hash, whole FROM copies WHERE identity=? AND source=? AND size=? AND modified=?");
    select.bind(1, identity).bind(2, item.path).bind(3, item.size).bind(4, wholeSeconds(item.modified));
    if (select.step() != SQLITE_ROW) return std::nullopt;
    return Previous{select.text(0), select.text(1), select.real(2), select.text(3), select.integer(4) != 0};
}

std::vector<ImportHistory::CaptureTime> ImportHistory::captureTimes(const std::string& identity) {
    MutexLock guard(lock_);
    std::vector<CaptureTime> times;
    Statement select(db_, "SELECT source, size, modified, taken FROM capture_times WHERE identity=?");
    select.bind(1, identity);
    while (select.step() == SQLITE_ROW) {
        CaptureTime time{{select.text(0), select.integer(1), static_cast<double>(select.integer(2))}, std::nullopt};
        if (!select.null(3)) time.taken = select.integer(3);
        times.push_back(std::move(time));
    }
    return times;
}

Result<void> ImportHistory::keepCaptureTimes(const std::string& identity, const std::vector<CaptureTime>& times) {
    MutexLock guard(lock_);
    if (auto begun = exec("BEGIN IMMEDIATE"); !begun.ok()) return begun;
    Statement insert(db_,
                     "INSERT OR REPLACE INTO capture_times(identity,source,size,modified,taken) VALUES(?,?,?,?,?)");
    for (const auto& time : times) {
        insert.bind(1, identity).bind(2, time.item.path).bind(3, time.item.size);
        insert.bind(4, wholeSeconds(time.item.modified)).bind(5, time.taken);
        if (insert.step() != SQLITE_DONE) {
            auto error = sqliteError(db_);
            (void)exec("ROLLBACK");
            return failure(error);
        }
        insert.reset();
    }
    return commit();
}

std::vector<ImportHistory::Rated> ImportHistory::ratings(const std::string& identity) {
    MutexLock guard(lock_);
    std::vector<Rated> ratings;
    Statement select(db_, "SELECT source, size, modified, stars, pick FROM ratings WHERE identity=?");
    select.bind(1, identity);
    while (select.step() == SQLITE_ROW)
        ratings.push_back({{select.text(0), select.integer(1), static_cast<double>(select.integer(2))},
                           {static_cast<int>(select.integer(3)), static_cast<int>(select.integer(4))}});
    return ratings;
}

Result<void> ImportHistory::rate(const std::string& identity, const std::vector<Rated>& ratings) {
    MutexLock guard(lock_);
    if (auto begun = exec("BEGIN IMMEDIATE"); !begun.ok()) return begun;
    Statement insert(db_,
                     "INSERT OR REPLACE INTO ratings(identity,source,size,modified,stars,pick) VALUES(?,?,?,?,?,?)");
    Statement remove(db_, "DELETE FROM ratings WHERE identity=? AND source=?");
    for (const auto& rated : ratings) {
        auto& statement = rated.rating == PhotoRating{} ? remove : insert;
        statement.bind(1, identity).bind(2, rated.item.path);
        if (&statement == &insert) {
            insert.bind(3, rated.item.size).bind(4, wholeSeconds(rated.item.modified));
            insert.bind(5, std::int64_t{rated.rating.stars}).bind(6, std::int64_t{rated.rating.pick});
        }
        if (statement.step() != SQLITE_DONE) {
            auto error = sqliteError(db_);
            (void)exec("ROLLBACK");
            return failure(error);
        }
        statement.reset();
    }
    return commit();
}

}  // namespace lumivane
