#pragma once
// A device held in memory for the import engine's tests: files a test puts,
// changes and removes while a job runs, and a record of what the job read
// and deleted.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bridges/common/import_source.h"
#include "runtime/mutex.h"

namespace lumivane {

// Any thread; `lock_` guards the files and the records.
class FakeImportSource final : public ImportSource {
public:
    struct File {
        std::string bytes;
        double modified = 1'600'000'000;
        std::uint64_t id = 0;  // its identity, as a volume's inode
    };

    explicit FakeImportSource(bool deletable = true) : deletable_(deletable) {}

    void put(const std::string& path, std::string bytes, double modified = 1'600'000'000) {
        MutexLock guard(lock_);
        files_[path] = File{std::move(bytes), modified, ++lastId_};
    }
    // Rewrites a file in place: the same file, size and time, other bytes.
    void rewriteInPlace(const std::string& path, std::string bytes) {
        MutexLock guard(lock_);
        files_[path].bytes = std::move(bytes);
    }
    bool has(const std::string& path) {
        MutexLock guard(lock_);
        return files_.count(path) > 0;
    }
    std::string bytes(const std::string& path) {
        MutexLock guard(lock_);
        return files_[path].bytes;
    }
    int reads(const std::string& path) {
        MutexLock guard(lock_);
        return reads_[path];
    }
    // Runs after an item's bytes were handed over, before its read returns
    // (no lock held): where a test changes the world mid-copy.
    std::function<void(const std::string& path)> afterRead;
    // What list() answers instead, when set.
    std::optional<Error> listFailure;

    std::string name() const override { return "Fake card"; }
    std::string identity() const override { return identityText; }
    std::string identityText = "fake:1";  // set before the source is shared
    bool canDelete() const override { return deletable_; }
    std::string notReady() const override { return notReadyText; }
    std::string notReadyText;  // set before the source is shared
    // Main loop, as the engine asks: counted, and answered with `ejectFailure`.
    void eject(std::function<void(Result<void>)> done) override {
        ++ejects;
        done(ejectFailure ? Result<void>(failure(*ejectFailure)) : Result<void>());
    }
    int ejects = 0;                     // main loop
    std::optional<Error> ejectFailure;  // main loop

    Result<std::vector<ImportItem>> list() override {
        MutexLock guard(lock_);
        if (listFailure) return failure(*listFailure);
        std::vector<ImportItem> items;
        for (const auto& [path, file] : files_)
            items.push_back({path, static_cast<std::int64_t>(file.bytes.size()), file.modified, file.id});
        return items;
    }

    Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) override {
        std::string bytes;
        {
            MutexLock guard(lock_);
            auto found = files_.find(item.path);
            if (found == files_.end()) return failure(Error{Error::Code::notFound, "No such file."});
            bytes = found->second.bytes;
            ++reads_[item.path];
        }
        for (std::size_t at = 0; at < bytes.size(); at += 5) {
            if (cancelled && cancelled()) return failure(Error{Error::Code::cancelled, "Cancelled."});
            auto chunk = bytes.substr(at, 5);
            if (auto taken = sink(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()); !taken.ok())
                return taken;
        }
        if (afterRead) afterRead(item.path);
        return {};
    }

    // As a volume does: only the file listed, of the size and time listed.
    Result<void> remove(const ImportItem& item) override {
        MutexLock guard(lock_);
        auto found = files_.find(item.path);
        if (found == files_.end()) return failure(Error{Error::Code::notFound, "No such file."});
        const auto& file = found->second;
        if ((item.fileId && item.fileId != file.id) || item.size != static_cast<std::int64_t>(file.bytes.size()) ||
            item.modified != file.modified)
            return failure(Error{"The file changed since it was listed; it was kept."});
        files_.erase(found);
        return {};
    }

private:
    const bool deletable_;
    Mutex lock_;
    std::map<std::string, File> files_ LUMIVANE_GUARDED_BY(lock_);
    std::map<std::string, int> reads_ LUMIVANE_GUARDED_BY(lock_);
    std::uint64_t lastId_ LUMIVANE_GUARDED_BY(lock_) = 0;
};

}  // namespace lumivane
