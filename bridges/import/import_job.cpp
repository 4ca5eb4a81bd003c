#include "bridges/import/import_job.h"

#include <sys/stat.h>
#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>

#include "runtime/file_writer.h"

namespace lumivane {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(200);
constexpr std::int64_t kLargeItemBytes = 64 << 20;  // a video, never a photo

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isSidecar(const std::string& name) {
    auto extension = lower(ItemCopy::splitExtension(name).second);
    return extension == "xmp" || extension == "aae";
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

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
                    std::function<void(const std::string& state)> finished) {
    finished_ = std::move(finished);
    paced_ = std::make_unique<PacedSource>(*source_, readers);
    started_ = std::chrono::steady_clock::now();
    if (firstRun) {
        auto listed = source_->list();
        if (!listed.ok()) {
            // A device that went away may come back; any other refusal ends the job.
            if (listed.error().code != Error::Code::unavailable) failed_ = true;
            interrupt(listed.error());
            return end();
        }
        std::vector<ImportItem> chosen;
        if (request_.items) {
            std::map<std::string, const ImportItem*> byPath;
            for (const auto& item : listed.value()) byPath.emplace(item.path, &item);
            std::set<std::string> asked;
            for (const auto& path : *request_.items) {
                if (!asked.insert(path).second) continue;  // one copy however often it is named
                auto found = byPath.find(path);
                // An item the device does not have is recorded as failed, not dropped.
                chosen.push_back(found == byPath.end() ? ImportItem{path, -1, 0} : *found->second);
            }
        } else {
            chosen = std::move(listed.value());
            std::sort(chosen.begin(), chosen.end(),
                      [](const ImportItem& a, const ImportItem& b) { return a.path < b.path; });
        }
        if (auto added = setup_.history.addItems(record_.id, chosen); !added.ok()) {
            interrupt(added.error());
            return end();
        }
    }
    if (!firstRun) copier_.removeLeftovers();
    auto items = setup_.history.items(record_.id);
    std::int64_t total = 0, done = 0;
    for (auto& item : items) {
        total += std::max<std::int64_t>(item.item.size, 0);
        if (item.state == "pending" && item.item.size < 0) {
            item.state = "failed";
            item.reason = "The device has no such item.";
            // Unrecorded, it stays pending in the history and fails again next time.
            (void)setup_.history.finishItem(record_.id, item, record_.identity, nowSeconds());
        }
        if (item.state == "pending" && !item.intent.empty()) resumeFoundCopy(item);
        if (item.state != "pending") {
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
    }
    units_ = plan();
    if (units_.empty()) return end();
    int count = std::min<int>(std::max(readers, 1) + 1, static_cast<int>(units_.size()));
    workers_ = count;
    for (int i = 0; i < count; ++i) spawn([self = shared_from_this()] { self->work(); });
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
        item.state = "imported";
        item.path = path;
        // Unrecorded, the next resume finds the same copy again.
        (void)setup_.history.finishItem(record_.id, item, record_.identity, nowSeconds());
        return true;
    }
    return false;
}

std::vector<ImportJob::Unit> ImportJob::plan() const {
    std::map<std::pair<std::string, std::string>, Unit> groups;
    std::vector<std::pair<std::string, std::string>> order;
    auto keyOf = [](const std::string& path, const std::string& stem) {
        return std::make_pair(lower(parentOf(path)), lower(stem));
    };
    std::vector<std::size_t> sidecars;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].state != "pending") continue;
        auto name = ItemCopy::baseName(items_[i].item.path);
        if (isSidecar(name)) {
            sidecars.push_back(i);
            continue;
        }
        auto key = keyOf(items_[i].item.path, ItemCopy::splitExtension(name).first);
        auto [at, added] = groups.try_emplace(key);
        if (added) order.push_back(key);
        at->second.members.push_back(i);
    }
    for (auto i : sidecars) {
        // "IMG_1.XMP" and "IMG_1.CR2.xmp" both go with IMG_1's group.
        auto stem = ItemCopy::splitExtension(ItemCopy::baseName(items_[i].item.path)).first;
        auto key = keyOf(items_[i].item.path, stem);
        if (!groups.count(key)) key = keyOf(items_[i].item.path, ItemCopy::splitExtension(stem).first);
        auto [at, added] = groups.try_emplace(key);
        if (added) order.push_back(key);
        at->second.members.push_back(i);
    }
    // Large files first: a video's copy is one long stream (written, flushed,
    // read back), which at the end would run alone; first, the photos fill the
    // disk's time around it.
    std::vector<Unit> units, small;
    for (const auto& key : order) {
        auto& unit = groups[key];
        (items_[unit.members.front()].item.size >= kLargeItemBytes ? units : small).push_back(std::move(unit));
    }
    units.insert(units.end(), std::make_move_iterator(small.begin()), std::make_move_iterator(small.end()));
    return units;
}

void ImportJob::work() {
    for (;;) {
        bool stop = cancelled_ || stopping_;
        {
            MutexLock guard(lock_);
            stop = stop || interruption_.has_value();
        }
        if (stop) break;
        auto next = nextUnit_.fetch_add(1);
        if (next >= units_.size()) break;
        copyUnit(units_[next]);
    }
    if (--workers_ == 0) end();
}

void ImportJob::copyUnit(const Unit& unit) {
    std::optional<std::string> leadStem;
    std::optional<std::int64_t> leadTime;
    std::string leadOriginalStem;
    for (std::size_t position = 0; position < unit.members.size(); ++position) {
        std::size_t index = unit.members[position];
        ImportHistory::Item item;
        bool itemCancelled;
        {
            MutexLock guard(lock_);
            if (interruption_) return;
            item = items_[index];
            itemCancelled = cancelledItems_.count(item.item.path) > 0;
        }
        if (cancelled_ || stopping_) return;
        auto skip = [&](std::string reason) {
            item.state = "skipped";
            item.reason = std::move(reason);
            finish(index, std::move(item));
        };
        if (itemCancelled) {
            skip("Cancelled.");
            continue;
        }
        if (request_.onlyNew) {
            if (auto before = setup_.history.previous(record_.identity, item.item)) {
                skip("Already imported on " + dateText(before->at) + " (to " + before->path + ").");
                continue;
            }
        }
        auto [originalStem, extension] = ItemCopy::splitExtension(ItemCopy::baseName(item.item.path));
        std::string stem;
        if (position > 0 && leadStem && originalStem.size() >= leadOriginalStem.size())
            stem = *leadStem + originalStem.substr(leadOriginalStem.size());
        std::string duplicateOf;
        std::int64_t sent = 0;  // this item's bytes in the progress so far
        auto copied = copier_.copy(
            *paced_, item.item, item.seq,
            [this, path = item.item.path] {
                if (cancelled_ || stopping_) return true;
                MutexLock guard(lock_);
                return cancelledItems_.count(path) > 0;
            },
            [this, &sent](std::int64_t bytes) {
                sent += bytes;
                progress(bytes, false);
            },
            [&](const std::string& hash, const std::string& intent) -> Result<void> {
                if (contents_)
                    if (auto same = contents_->find(item.item.size, hash)) {
                        duplicateOf = *same;
                        return failure(Error{Error::Code::nameTaken, "duplicate"});
                    }
                return setup_.history.setIntent(record_.id, item.seq, hash, intent);
            },
            stem.empty() ? nullptr : &stem, stem.empty() || !leadTime ? nullptr : &*leadTime);
        if (!copied.ok()) {
            bytesDone_ -= sent;  // an item that ends otherwise counts once, when it ends
            const auto& error = copied.error();
            if (!duplicateOf.empty()) {
                skip("The destination already holds the same contents (" + duplicateOf + ").");
            } else if (error.code == Error::Code::cancelled) {
                if (cancelled_ || stopping_) return;  // the job's end: the item stays pending
                skip("Cancelled.");
            } else if (error.code == Error::Code::unavailable) {
                interrupt(error);  // the item stays pending for a resume
                return;
            } else {
                item.state = "failed";
                item.reason = error.message;
                finish(index, std::move(item));
            }
            continue;
        }
        item.state = "imported";
        item.path = copied.value().path;
        item.hash = copied.value().hash;
        if (contents_) contents_->add(item.path, item.item.size, item.hash);
        item.reason.clear();
        if (position == 0) {
            leadStem = ItemCopy::splitExtension(ItemCopy::baseName(item.path)).first;
            leadOriginalStem = originalStem;
            leadTime = copied.value().captureTime;
        }
        if (!plan_.backup.empty()) {
            auto backedUp = copier_.backup(item.path, item.hash, item.item.modified);
            if (!backedUp.ok()) {
                item.state = "failed";
                item.reason = "Imported to " + item.path + ", but its backup failed: " + backedUp.error().message;
                finish(index, std::move(item));
                continue;
            }
            item.backup = backedUp.value();
        }
        // Only once every copy of it is verified, and never from a phone.
        if (request_.deleteAfter && source_->canDelete()) {
            if (auto removed = source_->remove(item.item); !removed.ok())
                item.reason = "Imported, but not deleted from the device: " + removed.error().message;
        }
        finish(index, std::move(item));
    }
}

void ImportJob::finish(std::size_t index, ImportHistory::Item outcome) {
    if (auto recorded = setup_.history.finishItem(record_.id, outcome, record_.identity, nowSeconds());
        !recorded.ok()) {
        interrupt(recorded.error());
        return;
    }
    if (outcome.state != "imported") bytesDone_ += std::max<std::int64_t>(outcome.item.size, 0);
    ++itemsDone_;
    EncodableMap event{{"type", "item"},
                       {"job", record_.id},
                       {"source", outcome.item.path},
                       {"state", outcome.state},
                       {"path", outcome.path},
                       {"backup", outcome.backup},
                       {"verified", outcome.state == "imported" && plan_.verify},
                       {"reason", outcome.reason}};
    {
        MutexLock guard(lock_);
        items_[index] = std::move(outcome);
    }
    setup_.events->post(std::move(event));
    progress(0, false);
}

void ImportJob::interrupt(const Error& why) {
    MutexLock guard(lock_);
    if (!interruption_) interruption_ = why;
}

void ImportJob::cancel() { cancelled_ = true; }

void ImportJob::stop() {
    interrupt(Error{Error::Code::unavailable, "The host stopped."});
    stopping_ = true;
}

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

void ImportJob::end() {
    std::string state = "done", reason;
    {
        MutexLock guard(lock_);
        if (interruption_) state = "interrupted", reason = interruption_->message;
    }
    if (cancelled_) state = "cancelled";
    if (failed_) state = "failed";
    // Unrecorded, the job reads "running" until the next start calls it interrupted.
    (void)setup_.history.setJobState(record_.id, state, reason);
    auto counts = setup_.history.counts(record_.id);
    progress(0, true);
    setup_.events->post({{"type", "done"},
                         {"job", record_.id},
                         {"state", state},
                         {"reason", reason},
                         {"total", counts.total},
                         {"imported", counts.imported},
                         {"skipped", counts.skipped},
                         {"failed", counts.failed}});
    ended_ = true;
    if (finished_) finished_(state);
}

}  // namespace lumivane
