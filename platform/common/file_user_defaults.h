#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/user_defaults.h"
#include "runtime/lifetime.h"
#include "runtime/mutex.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// User defaults kept in a JSON file. A missing or corrupt file is an empty
// dictionary (and is replaced on the next write).
//
// Reads and changes happen in memory on the main thread; the file is written
// atomically on the "lumivane.defaults" queue, a burst of changes coalescing
// into one write of the latest contents, so the main thread never waits for
// the disk. flush() and the destructor wait for the last write.
// `mutex_` guards `pending_`.
class FileUserDefaults final : public UserDefaults {
public:
    explicit FileUserDefaults(std::string path);
    ~FileUserDefaults() override;

    nlohmann::json dictionary() const override { return values_; }
    std::optional<nlohmann::json> value(const std::string& key) const override;
    void set(const std::string& key, const nlohmann::json& value) override;
    const std::string& path() const { return path_; }
    void flush();

private:
    void writeLatest();  // on the writer queue

    std::string path_;
    nlohmann::json values_ = nlohmann::json::object();  // main thread
    Mutex mutex_;
    std::optional<std::string> pending_ LUMIVANE_GUARDED_BY(mutex_);  // the next contents to write, if any
    std::unique_ptr<SerialQueue> writer_;
    Lifetime lifetime_;  // the queued write asks it; the last member
};

}  // namespace lumivane
