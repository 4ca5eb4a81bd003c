#pragma once
#include <chrono>
#include <memory>
#include <string>

#include "bridges/common/import_source.h"
#include "bridges/iphone/iphone.h"
#include "bridges/iphone/phone_context.h"
#include "runtime/lifetime.h"

namespace lumivane {

// A phone's camera roll as an import source: the listing "iphone.media"
// gives (paths below "/DCIM", sizes and times from the stat cache or the
// phone), each item read over an AFC connection of its own. Nothing is ever
// deleted from a phone: its photo library would keep pointing at the files.
//
// A job may hold it longer than the iPhone bridge lives: every read and
// listing runs inside the bridge's life (`bridge`, its Lifetime's handle),
// and once the bridge is gone the phone reads as gone.
//
// Threads: made on the main loop; the rest on the import's worker threads,
// each waiting while the phone's queue does the phone's part (a listing, or
// opening a connection). A phone without any link, or a host going away, is
// Error::Code::unavailable.
class PhoneImportSource final : public ImportSource {
public:
    PhoneImportSource(PhoneContext& context, std::shared_ptr<IPhone> phone, Lifetime::Handle bridge)
        : context_(context), phone_(std::move(phone)), bridge_(std::move(bridge)) {}

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
    // A new AFC connection to the phone, opened on its queue.
    Result<std::shared_ptr<AFCConnection>> connect();
    // Whether the phone is attached over USB or Wi-Fi now.
    bool linked() const;
    // A failure as the import sees it: unavailable once the phone has no
    // link, also when the notice of it comes within `noticeDelay` (a read or
    // an opening that failed as the cable came out).
    Error failed(Error error, std::chrono::milliseconds noticeDelay = {}) const;
    static constexpr std::chrono::milliseconds kNoticeDelay{2000};

    PhoneContext& context_;  // the iPhone bridge's: used only inside whileBridgeLives()
    std::shared_ptr<IPhone> phone_;
    Lifetime::Handle bridge_;
};

}  // namespace lumivane
