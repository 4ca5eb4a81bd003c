#include "platform/common/file_user_defaults.h"

#include <filesystem>

#include "runtime/file_writer.h"
#include "runtime/group.h"
#include "runtime/mutex.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {
constexpr std::size_t kMaxFileSize = 64u << 20;
}  // namespace

FileUserDefaults::FileUserDefaults(std::string path)
    : path_(std::move(path)), writer_(std::make_unique<SerialQueue>("lumivane.defaults")) {
    auto text = readFile(path_, kMaxFileSize);
    if (!text) return;
    auto parsed = nlohmann::json::parse(*text, nullptr, false);
    if (parsed.is_object()) values_ = std::move(parsed);
}

FileUserDefaults::~FileUserDefaults() { flush(); }  // the last write happens while everything it uses lives

std::optional<nlohmann::json> FileUserDefaults::value(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void FileUserDefaults::set(const std::string& key, const nlohmann::json& value) {
    values_[key] = value;
    bool scheduled;
    {
        MutexLock lock(mutex_);
        scheduled = pending_.has_value();  // a write is on its way: it takes these contents
        pending_ = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);  // never throws
    }
    if (!scheduled) writer_->post(lifetime_.guard([this] { writeLatest(); }));
}

void FileUserDefaults::writeLatest() {
    std::string text;
    {
        MutexLock lock(mutex_);
        if (!pending_) return;
        text = std::move(*pending_);
        pending_.reset();
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    (void)writeFileAtomically(path_, text);  // a failed write leaves the last good file
}

void FileUserDefaults::flush() {
    Semaphore written;
    writer_->post([&written] { written.signal(); });
    while (!written.waitFor(std::chrono::minutes(1))) {
    }
}

}  // namespace lumivane
