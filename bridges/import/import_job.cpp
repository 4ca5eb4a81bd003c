#include "bridges/import/import_job.h"

#include <sys/stat.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>
#include <map>

#include "bridges/import/import_log.h"
#include "bridges/import/item_groups.h"
#include "runtime/file_writer.h"

namespace lumivane {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(200);
constexpr std::int64_t kLargeItemBytes = 64 << 20;  // a video, never a photo

std::string dateText(double seconds) {
    std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&whole, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

}  // namespace

double ImportJob::nowSeconds() const {
    return std::chrono::duration<double>(setup_.clock.wallNow().time_since_epoch()).count();
}

ImportJob::ImportJob(Setup setup, ImportHistory::Job record, ImportRequest request,
                     std::shared_ptr<ImportSource> source, CopyPlan plan)
    : setup_(std::move(setup)),
      record_(std::move(record)),
      request_(std::move(request)),
      source_(std::move(source)),
      plan_(std::move(plan)),
      copier_(plan_, setup_.services),
      contents_(request_.skipDuplicates ? std::make_unique<DestinationContents>(plan_.destination) : nullptr) {}

void ImportJob::run(bool firstRun, int readers, const std::function<void(std::function<void()>)>& spawn,
                    std::function<void(JobState state)> finished) {
    finished_ = std::move(finished);
    paced_ = std::make_unique<PacedSource>(*source_, readers);
    started_ = std::chrono::steady_clock::now();
    if (auto held = copier_.holdFolders(); !held.ok()) {
        endWith(JobState::interrupted, held.error());
        return end();
    }
    // A job whose listing was never recorded (the history could not be
    // written) lists again: resuming it must not read as "done, 0 of 0".
    if (firstRun || setup_.history.items(record_.id).empty()) {
        auto listed = source_->list();
        if (!listed.ok()) {
            // A device that went away may come back; any other refusal ends the job.
            endWith(listed.error().code == Error::Code::unavailable ? JobState::interrupted : JobState::failed,
                    listed.error());
            return end();
        }
        auto chosen = choose(std::move(listed.value()));
        if (auto added = setup_.history.addItems(record_.id, chosen); !added.ok()) {
            endWith(JobState::interrupted, added.error());
            return end();
        }
        // What the listing said of each file, which the history does not keep.
        for (const auto& item : chosen) listedIds_[item.path] = item.fileId;
    }
    if (!firstRun) copier_.removeLeftovers();
    auto items = setup_.history.items(record_.id);
    std::int64_t total = 0, done = 0;
    for (auto& item : items) {
        if (auto listed = listedIds_.find(item.item.path); listed != listedIds_.end())
            item.item.fileId = listed->second;
        total += std::max<std::int64_t>(item.item.size, 0);
        if (item.state == ItemState::pending && item.item.size < 0) {
            item.state = ItemState::failed;
            item.reason = "The device has no such item.";
            // Unrecorded, it stays pending in the history and fails again next time.
            (void)setup_.history.finishItem(record_.id, item, record_.identity, nowSeconds());
        }
        if (item.state == ItemState::pending && !item.intent.empty()) resumeFoundCopy(item);
        if (item.state != ItemState::pending) {
            done += std::max<std::int64_t>(item.item.size, 0);
            ++itemsDone_;
        }
    }
    total_ = static_cast<std::int64_t>(items.size());
    totalBytes_ = total;
    bytesDone_ = done;
    {
        MutexLock guard(lock_);
        items_ = std::move(items);
        haveItems_ = true;
    }
    units_ = plan();
    if (units_.empty()) return end();
    for (auto& rated : setup_.history.ratings(record_.identity)) ratings_.emplace(rated.item.path, std::move(rated));
    int count = std::min<int>(std::max(readers, 1) + 1, static_cast<int>(units_.size()));
    workers_ = count;
    for (int i = 0; i < count; ++i) spawn([self = shared_from_this()] { self->work(); });
}

std::vector<ImportItem> ImportJob::choose(std::vector<ImportItem> listed) const {
    if (!request_.items) {
        std::sort(listed.begin(), listed.end(),
                  [](const ImportItem& a, const ImportItem& b) { return a.path < b.path; });
        return listed;
    }
    std::map<std::string, std::size_t> byPath;
    for (std::size_t i = 0; i < listed.size(); ++i) byPath.emplace(listed[i].path, i);
    // Each item named brings its twins and sidecars, as the device holds them.
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> groupOf(listed.size());
    if (request_.companions) {
        std::vector<std::string> paths;
        for (const auto& item : listed) paths.push_back(item.path);
        groups = groupByStem(paths);
        for (std::size_t g = 0; g < groups.size(); ++g)
            for (auto i : groups[g]) groupOf[i] = g;
    }
    std::vector<ImportItem> chosen;
    std::set<std::string> asked;
    auto add = [&](const ImportItem& item) {
        if (asked.insert(item.path).second) chosen.push_back(item);  // one copy however often it is named
    };
    for (const auto& path : *request_.items) {
        auto found = byPath.find(path);
        // An item the device does not have is recorded as failed, not dropped.
        if (found == byPath.end()) {
            add(ImportItem{path, -1, 0});
            continue;
        }
        add(listed[found->second]);
        if (request_.companions)
            for (auto i : groups[groupOf[found->second]]) add(listed[i]);
    }
    return chosen;
}

bool ImportJob::resumeFoundCopy(ImportHistory::Item& item) {
    // The host stopped between putting a copy in place and recording it: the
    // copy is the first of the intended name's free names that holds the same
    // bytes.
    auto slash = item.intent.rfind('/');
    if (slash == std::string::npos || item.hash.empty()) return false;
    auto folder = item.intent.substr(0, slash), name = item.intent.substr(slash + 1);
    for (int n = 0; n < 10'000; ++n) {
        auto path = folder + "/" + numberedName(name, n);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return false;
        if (!S_ISREG(info.st_mode) || info.st_size != item.item.size) continue;
        if (ItemCopy::hashOf(path) != item.hash) continue;
        // Still pending: what was to follow the copy (its backup, its
        // deletion, its record) follows it now.
        item.path = path;
        return true;
    }
    return false;
}

std::vector<ImportJob::Unit> ImportJob::plan() const {
    std::vector<std::size_t> pending;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].state != ItemState::pending) continue;
        pending.push_back(i);
        paths.push_back(items_[i].item.path);
    }
    // Large files first: a video's copy is one long stream (written, flushed,
    // read back), which at the end would run alone; first, the photos fill the
    // disk's time around it.
    std::vector<Unit> units, small;
    for (const auto& group : groupByStem(paths)) {
        Unit unit;
        for (auto at : group) unit.members.push_back(pending[at]);
        (items_[unit.members.front()].item.size >= kLargeItemBytes ? units : small).push_back(std::move(unit));
    }
    units.insert(units.end(), std::make_move_iterator(small.begin()), std::make_move_iterator(small.end()));
    return units;
}

void ImportJob::work() {
    for (;;) {
        if (ending()) break;
        // A destination that went (or now leads elsewhere) stops the job
        // before it copies into a folder nobody will find.
        if (auto problem = copier_.folderProblem()) {
            endWith(JobState::interrupted, *problem);
            break;
        }
        auto next = nextUnit_.fetch_add(1);
        if (next >= units_.size()) break;
        copyUnit(units_[next]);
    }
    if (--workers_ == 0) end();
}

// What one item's copy tells its job: progress, the job's cancels, the
// destination's contents and the journal.
class ImportJob::ItemWatch final : public CopyObserver {
public:
    ItemWatch(ImportJob& job, const ImportHistory::Item& item) : job_(job), item_(item) {}
    std::int64_t sent() const { return sent_; }

    bool cancelled() override {
        if (job_.ending()) return true;
        MutexLock guard(job_.lock_);
        return job_.cancelledItems_.count(item_.item.path) > 0;
    }
    void copied(std::int64_t bytes) override {
        sent_ += bytes;
        job_.progress(bytes, false);
    }
    std::optional<std::string> duplicate(std::int64_t size, const std::string& hash) override {
        return job_.contents_ ? job_.contents_->find(size, hash) : std::nullopt;
    }
    Result<void> naming(const std::string& hash, const std::string& intent) override {
        return job_.setup_.history.setIntent(job_.record_.id, item_.seq, hash, intent);
    }

private:
    ImportJob& job_;
    const ImportHistory::Item& item_;
    std::int64_t sent_ = 0;  // this item's bytes in the progress so far
};

void ImportJob::copyUnit(const Unit& unit) {
    std::optional<ItemCopy::Lead> lead;
    for (std::size_t position = 0; position < unit.members.size(); ++position) {
        std::size_t index = unit.members[position];
        ImportHistory::Item item;
        bool itemCancelled;
        {
            MutexLock guard(lock_);
            if (ending_) return;
            item = items_[index];
            itemCancelled = cancelledItems_.count(item.item.path) > 0;
        }
        if (itemCancelled) {
            transition(index, std::move(item), ItemState::skipped, "Cancelled.");
            continue;
        }
        if (!item.path.empty()) {
            // Copied before the host stopped, and found again (resumeFoundCopy()).
            progress(item.item.size, false);
            afterCopy(index, std::move(item));
            continue;
        }
        if (decide(index, item)) continue;

        ItemWatch watch(*this, item);
        auto outcome = copier_.copy(*paced_, item.item, item.seq, watch, position > 0 && lead ? &*lead : nullptr);
        if (outcome.kind != ItemCopy::Outcome::Kind::imported)
            bytesDone_ -= watch.sent();  // an item that ends otherwise counts once, when it ends
        switch (outcome.kind) {
            case ItemCopy::Outcome::Kind::imported: break;
            case ItemCopy::Outcome::Kind::duplicate:
                transition(index, std::move(item), ItemState::skipped,
                           "The destination already holds the same contents (" + outcome.duplicateOf + ").");
                continue;
            case ItemCopy::Outcome::Kind::cancelled:
                if (ending()) return;  // the job's end: the item stays pending
                transition(index, std::move(item), ItemState::skipped, "Cancelled.");
                continue;
            case ItemCopy::Outcome::Kind::interrupted:
                endWith(JobState::interrupted, outcome.error);  // the item stays pending for a resume
                return;
            case ItemCopy::Outcome::Kind::failed:
                transition(index, std::move(item), ItemState::failed, outcome.error.message);
                continue;
        }
        const auto& copied = outcome.copy;
        item.path = copied.path;
        item.hash = copied.hash;
        if (contents_) contents_->add(item.path, item.item.size, item.hash);
        if (position == 0)
            lead =
                ItemCopy::Lead{ItemCopy::splitExtension(ItemCopy::baseName(item.path)).first,
                               ItemCopy::splitExtension(ItemCopy::baseName(item.item.path)).first, copied.captureTime};
        afterCopy(index, std::move(item));
    }
    keepRating(unit);
}

void ImportJob::keepRating(const Unit& unit) {
    std::vector<ImportHistory::Item> members;
    {
        MutexLock guard(lock_);
        for (auto index : unit.members) members.push_back(items_[index]);
    }
    // A shot's rating is given to one of its files (a client gives it to the
    // file its tile shows, which need not be the one a job was asked for):
    // whichever it is, the shot's copies take it.
    const ImportHistory::Item* rated = nullptr;
    PhotoRating rating;
    for (const auto& member : members) {
        auto found = ratings_.find(member.item.path);
        if (found == ratings_.end() || isSidecar(member.item.path) || found->second.item.size != member.item.size ||
            found->second.item.modified != std::floor(member.item.modified))
            continue;
        rated = &member;
        rating = found->second.rating;
        break;
    }
    if (!rated || rated->state != ItemState::imported) return;
    // Into the copy of the shot's own sidecar when one came along, else a new one.
    const ImportHistory::Item* sidecar = nullptr;
    for (const auto& member : members)
        if (member.state == ItemState::imported && isXmp(member.path)) sidecar = &member;
    auto kept = copier_.rate(rated->path, sidecar ? sidecar->path : "", rating);
    if (kept.ok() && !rated->backup.empty()) kept = copier_.rate(rated->backup, sidecar ? sidecar->backup : "", rating);
    // Kept by the host until it is in the copy; a sidecar that could not take it keeps it here.
    if (!kept.ok()) return;
    (void)setup_.history.rate(record_.identity, {{rated->item, PhotoRating{}}});
}

bool ImportJob::decide(std::size_t index, ImportHistory::Item& item) {
    if (!request_.onlyNew) return false;
    auto before = setup_.history.previous(record_.identity, item.item);
    if (!before) return false;
    if (before->whole || plan_.backup.empty()) {
        transition(index, std::move(item), ItemState::skipped,
                   "Already imported on " + dateText(before->at) + " (to " + before->path + ").");
        return true;
    }
    // Copied before, its backup missing: that copy, still whole and in this
    // destination, needs only its backup.
    if (before->path.compare(0, plan_.destination.size() + 1, plan_.destination + "/") != 0 ||
        ItemCopy::hashOf(before->path) != before->hash)
        return false;
    item.path = before->path;
    item.hash = before->hash;
    afterCopy(index, std::move(item));
    return true;
}

void ImportJob::afterCopy(std::size_t index, ImportHistory::Item item) {
    if (!plan_.backup.empty()) {
        auto backedUp = copier_.backup(item.path, item.hash, item.item.modified);
        if (!backedUp.ok()) {
            // The copy stays recorded where it is (`path`, `hash`), so a retry makes only the backup.
            auto reason = "Imported to " + item.path + ", but its backup failed: " + backedUp.error().message;
            return transition(index, std::move(item), ItemState::failed, std::move(reason));
        }
        item.backup = backedUp.value();
    }
    std::string kept;
    // Only once every copy of it is verified, and never from a phone.
    if (request_.deleteAfter && source_->canDelete()) kept = removeFromDevice(item);
    transition(index, std::move(item), ItemState::imported,
               kept.empty() ? std::string() : "Imported, but not deleted from the device: " + kept);
}

std::string ImportJob::removeFromDevice(const ImportHistory::Item& item) {
    // The copy was verified against the bytes read then; the device's file
    // may have been rewritten since (a tool editing it, a camera still
    // writing it). Read again now, it must be those very bytes.
    auto same = ItemCopy::stillHolds(*paced_, item.item, item.hash, [this] { return ending(); });
    if (!same.ok()) return same.error().message;
    if (auto removed = source_->remove(item.item); !removed.ok()) return removed.error().message;
    return {};
}

void ImportJob::transition(std::size_t index, ImportHistory::Item item, ItemState to, std::string reason) {
    {
        MutexLock guard(lock_);
        // A move the rules do not allow is this engine's own mistake: kept out of the history.
        if (!allowed(items_[index].state, to)) return;
    }
    item.state = to;
    item.reason = std::move(reason);
    if (auto recorded = setup_.history.finishItem(record_.id, item, record_.identity, nowSeconds()); !recorded.ok()) {
        endWith(JobState::interrupted, recorded.error());
        return;
    }
    if (to != ItemState::imported) bytesDone_ += std::max<std::int64_t>(item.item.size, 0);
    ++itemsDone_;
    EncodableMap event{{"type", "item"},
                       {"job", record_.id},
                       {"source", item.item.path},
                       {"state", textOf(to)},
                       {"path", item.path},
                       {"backup", item.backup},
                       {"verified", to == ItemState::imported && plan_.verify},
                       {"reason", item.reason}};
    {
        MutexLock guard(lock_);
        items_[index] = std::move(item);
    }
    setup_.events->post(std::move(event));
    progress(0, false);
}

void ImportJob::endWith(JobState state, const Error& why) {
    MutexLock guard(lock_);
    if (!ending_) ending_ = Ending{state, why};
}

std::optional<std::vector<ImportHistory::Item>> ImportJob::items() const {
    MutexLock guard(lock_);
    if (!haveItems_) return std::nullopt;
    return items_;
}

void ImportJob::cancel() { endWith(JobState::cancelled, Error{Error::Code::cancelled, ""}); }

bool ImportJob::ending() {
    MutexLock guard(lock_);
    return ending_.has_value();
}

void ImportJob::deviceLeft() {
    endWith(JobState::interrupted, Error{Error::Code::unavailable, source_->name() + " went away."});
}

void ImportJob::stop() { endWith(JobState::interrupted, Error{Error::Code::unavailable, "The host stopped."}); }

void ImportJob::cancelItem(const std::string& source) {
    MutexLock guard(lock_);
    cancelledItems_.insert(source);
}

void ImportJob::progress(std::int64_t bytes, bool force) {
    auto done = bytesDone_ += bytes;
    auto now = std::chrono::steady_clock::now();
    {
        MutexLock guard(lock_);
        if (!force && now - lastProgress_ < kProgressInterval) return;
        lastProgress_ = now;
    }
    double elapsed = std::chrono::duration<double>(now - started_).count();
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    std::int64_t left = totalBytes_ - done;
    EncodableMap event{{"type", "progress"},
                       {"job", record_.id},
                       {"bytes", done},
                       {"totalBytes", totalBytes_.load()},
                       {"items", itemsDone_.load()},
                       {"total", total_.load()},
                       {"rate", rate},
                       {"timeLeft", rate > 0 ? static_cast<double>(left) / rate : -1.0}};
    setup_.events->post(std::move(event));
}

Result<std::string> ImportJob::writeLog(JobState state, const std::string& reason,
                                        const ImportHistory::Counts& counts) {
    ImportLog log{record_, state, reason, plan_.destination, {}, counts};
    {
        MutexLock guard(lock_);
        log.items = items_;
    }
    return log.write();
}

void ImportJob::end() {
    // The job's end: its first cause, else every item ended.
    JobState state = JobState::done;
    std::string reason;
    std::vector<ImportHistory::Item> items;
    {
        MutexLock guard(lock_);
        if (ending_) {
            state = ending_->state;
            reason = ending_->why.message;
        }
        if (state == JobState::interrupted && copier_.folderProblem()) items = items_;
    }
    // Whatever stopped it first, a folder gone or unwritable at the end is
    // what must be mended before it can go on.
    if (state == JobState::interrupted)
        if (auto problem = copier_.folderProblem()) reason = problem->message;
    // Copies made into a folder that then went are gone with it: those items
    // are copied again on resume, and "only new" does not count them.
    for (const auto& item : items) {
        struct stat info {};
        if (item.state == ItemState::imported && !item.path.empty() && ::lstat(item.path.c_str(), &info) != 0)
            (void)setup_.history.forgetCopy(record_.id, item, record_.identity);  // unforgotten, it stays imported
    }
    // Unrecorded, the job reads "running" until the next start calls it interrupted.
    (void)setup_.history.setJobState(record_.id, state, reason);
    auto counts = setup_.history.counts(record_.id);
    // The copies are made and recorded: a log that cannot be written is only told.
    std::optional<Result<std::string>> logged;
    if (request_.log) logged = writeLog(state, reason, counts);
    // Before anyone can hear of the end: a client told "done" may resume at once.
    ended_ = true;
    progress(0, true);
    EncodableMap done{
        {"type", "done"},        {"job", record_.id},           {"state", textOf(state)},    {"reason", reason},
        {"total", counts.total}, {"imported", counts.imported}, {"skipped", counts.skipped}, {"failed", counts.failed}};
    if (logged && logged->ok()) done.set("log", logged->value());
    if (logged && !logged->ok()) done.set("logError", logged->error().message);
    setup_.events->post(std::move(done));
    if (finished_) finished_(state);
}

}  // namespace lumivane
