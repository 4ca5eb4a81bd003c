#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bridges/common/import_source.h"
#include "bridges/iphone/iphone.h"
#include "bridges/iphone/phone_context.h"
#include "runtime/lifetime.h"
#include "runtime/mutex.h"

namespace lumivane {

// A phone's camera roll as an import source: the listing "iphone.media"
// gives (paths below "/DCIM", sizes and times from the stat cache or the
// phone), each item read over an AFC connection used by one read at a time
// and kept for the next (opening one costs the phone a service start). Nothing
// is ever deleted from a phone: its photo library would keep pointing at the
// files.
//
// A job may hold it longer than the iPhone bridge lives: every read and
// listing runs inside the bridge's life (`bridge`, its Lifetime's handle),
// and once the bridge is gone the phone reads as gone.
//
// Threads: made on the main loop; the rest on the import's worker threads,
// each waiting while the phone's queue does the phone's part (a listing, or
// opening a connection). A phone without any link, or a host going away, is
// Error::Code::unavailable. `poolLock_` guards `idle_`.
class PhoneImportSource final : public ImportSource {
public:
    PhoneImportSource(PhoneContext& context, std::shared_ptr<IPhone> phone, Lifetime::Handle bridge)
        : context_(context), phone_(std::move(phone)), bridge_(std::move(bridge)) {}
    ~PhoneImportSource() override;

    std::string name() const override { return phone_->displayName(); }
    std::string identity() const override { return "iphone:" + phone_->udid; }
    bool canDelete() const override { return false; }
    // A phone that does not trust this computer shows nothing of its own.
    std::string notReady() const override;
    Result<std::vector<ImportItem>> list() override;
    Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) override;
    // Over a connection of its own, from `offset` (an AFC seek).
    Result<void> readAt(const ImportItem& item, std::int64_t offset, std::size_t length, const Sink& sink) override;
    Result<void> remove(const ImportItem& item) override;

private:
    // Runs `work` while the iPhone bridge lives; the phone is gone once it has.
    template <typename T>
    Result<T> whileBridgeLives(const std::function<Result<T>()>& work);
    // Runs `work` on the phone's queue and waits for its result.
    template <typename T>
    Result<T> onPhoneQueue(std::function<Result<T>()> work);
    // list() and read() inside the bridge's life.
    Result<std::vector<ImportItem>> listHere();
    Result<void> readHere(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled);
    // Runs `read` over a kept connection, else a new one, which is kept
    // again when the read succeeds. A kept connection that fails before the
    // read handed anything on may have gone stale (the phone unplugged and
    // back): the read is tried once more over a new one, and the others kept
    // beside it are let go too. `handedOn` is set
    // by `read` once it has given its sink a byte.
    using ConnectionRead = std::function<IPhoneResult<void>(AFCConnection& connection, bool& handedOn)>;
    Result<void> overConnection(const ConnectionRead& read);
    // A new AFC connection to the phone, opened on its queue.
    Result<std::shared_ptr<AFCConnection>> connect();
    // Whether the phone is attached over USB or Wi-Fi now.
    bool linked() const;
    // A failure as the import sees it: unavailable once the phone has no
    // link, also when the notice of it comes within `noticeDelay` (a read or
    // an opening that failed as the cable came out).
    Error failed(Error error, std::chrono::milliseconds noticeDelay = {}) const;
    static constexpr std::chrono::milliseconds kNoticeDelay{2000};

    // What a job's workers keep open between reads at most.
    static constexpr std::size_t kMaxIdleConnections = 4;

    PhoneContext& context_;  // the iPhone bridge's: used only inside whileBridgeLives()
    std::shared_ptr<IPhone> phone_;
    Lifetime::Handle bridge_;
    Mutex poolLock_;
    std::vector<std::shared_ptr<AFCConnection>> idle_ LUMIVANE_GUARDED_BY(poolLock_);
};

}  // namespace lumivane
