#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bridges/common/import_source.h"
#include "runtime/mutex.h"

namespace lumivane {

// A source whose reads take turns: at most `readers` of them run at once, the
// rest wait for a place (or for `cancelled`). A job runs more workers than
// its device serves reads well at once, so that while the device is busy
// reading the next item, another worker flushes, verifies and names the copy
// that has just been read, instead of the device waiting for the disk.
//
// Any thread; `lock_` guards `reading_`. The inner source outlives it.
class PacedSource final : public ImportSource {
public:
    PacedSource(ImportSource& inner, int readers) : inner_(inner), readers_(readers < 1 ? 1 : readers) {}

    std::string name() const override { return inner_.name(); }
    std::string identity() const override { return inner_.identity(); }
    bool canDelete() const override { return inner_.canDelete(); }
    std::string notReady() const override { return inner_.notReady(); }
    void eject(std::function<void(Result<void>)> done) override { inner_.eject(std::move(done)); }
    Result<std::vector<ImportItem>> list() override { return inner_.list(); }
    Result<void> remove(const ImportItem& item) override { return inner_.remove(item); }
    // Small reads of an item's parts, not paced.
    Result<void> readAt(const ImportItem& item, std::int64_t offset, std::size_t length, const Sink& sink) override {
        return inner_.readAt(item, offset, length, sink);
    }

    Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) override {
        {
            MutexLock guard(lock_);
            // Woken by a read ending; a cancel is seen within the poll.
            while (!turn_.wait_for(guard, std::chrono::milliseconds(50),
                                   [this]() LUMIVANE_REQUIRES(lock_) { return reading_ < readers_; }))
                if (cancelled && cancelled()) return failure(Error{Error::Code::cancelled, "Cancelled."});
            ++reading_;
        }
        auto outcome = inner_.read(item, sink, cancelled);
        {
            MutexLock guard(lock_);
            --reading_;
        }
        turn_.notify_one();
        return outcome;
    }

private:
    ImportSource& inner_;
    const int readers_;
    Mutex lock_;
    CondVar turn_;
    int reading_ LUMIVANE_GUARDED_BY(lock_) = 0;
};

}  // namespace lumivane
