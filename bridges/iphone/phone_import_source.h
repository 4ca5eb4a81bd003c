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
// Threads: made on the main loop; the rest on the import's worker threads,
// each waiting while the phone's queue does the phone's part (a listing, or
// opening a connection). Work posted to that queue asks the iPhone bridge's
// `lifetime`; a phone without any link, or a host going away, is
// Error::Code::unavailable.
class PhoneImportSource final : public ImportSource {
public:
    PhoneImportSource(PhoneContext& context, std::shared_ptr<IPhone> phone, const Lifetime& lifetime)
        : context_(context), phone_(std::move(phone)), lifetime_(lifetime) {}

    std::string name() const override { return phone_->displayName(); }
    std::string identity() const override { return "iphone:" + phone_->udid; }
    bool canDelete() const override { return false; }
    Result<std::vector<ImportItem>> list() override;
    Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) override;
    Result<void> remove(const ImportItem& item) override;

private:
    // Runs `work` on the phone's queue and waits for its result.
    template <typename T>
    Result<T> onPhoneQueue(std::function<Result<T>()> work);
    // A failure as the import sees it: unavailable once the phone has no
    // link, also when the notice of it comes within `noticeDelay`.
    Error failed(Error error, std::chrono::milliseconds noticeDelay = {}) const;
    static constexpr std::chrono::milliseconds kNoticeDelay{2000};

    PhoneContext& context_;
    std::shared_ptr<IPhone> phone_;
    const Lifetime& lifetime_;
};

}  // namespace lumivane
