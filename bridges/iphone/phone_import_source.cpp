#include "bridges/iphone/phone_import_source.h"

#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include "bridges/iphone/dcim_scan.h"

namespace lumivane {

namespace {

Error gone() { return Error{Error::Code::unavailable, "The iPhone is not connected."}; }

}  // namespace

template <typename T>
Result<T> PhoneImportSource::whileBridgeLives(const std::function<Result<T>()>& work) {
    std::optional<Result<T>> answer;
    bridge_.guard([&] { answer.emplace(work()); })();
    if (!answer) return failure(gone());
    return std::move(*answer);
}

template <typename T>
Result<T> PhoneImportSource::onPhoneQueue(std::function<Result<T>()> work) {
    auto promise = std::make_shared<std::promise<Result<T>>>();
    auto future = promise->get_future();
    // A task the queue drops (the host going) breaks the promise, which
    // reads as the phone gone.
    // A phone with no link is gone for an import: it does not wait for the
    // phone to come back (it interrupts, and resumes when it does).
    phone_->queue.post(bridge_.guard([this, promise, work = std::move(work)] {
        promise->set_value(context_.stopping() || !linked() ? Result<T>(failure(gone())) : work());
    }));
    try {
        return future.get();
    } catch (const std::future_error&) {
        return failure(gone());
    }
}

bool PhoneImportSource::linked() const {
    MutexLock links(phone_->linkLock);
    return phone_->usb || phone_->wifi;
}

Error PhoneImportSource::failed(Error error, std::chrono::milliseconds noticeDelay) const {
    if (error.code == Error::Code::cancelled) return error;
    // A cable pulled mid-read fails the read before the system's notice that
    // the phone left arrives: a read's failure is the item's own only if the
    // phone is still linked a moment later.
    auto deadline = std::chrono::steady_clock::now() + noticeDelay;
    for (;;) {
        {
            MutexLock links(phone_->linkLock);
            if (!phone_->usb && !phone_->wifi) return gone();
        }
        if (std::chrono::steady_clock::now() >= deadline || context_.stopping()) return error;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Result<std::vector<ImportItem>> PhoneImportSource::list() {
    return whileBridgeLives<std::vector<ImportItem>>([this] { return listHere(); });
}

Result<std::vector<ImportItem>> PhoneImportSource::listHere() {
    auto listed = onPhoneQueue<std::vector<ImportItem>>([this]() -> Result<std::vector<ImportItem>> {
        auto listing = context_.links.withControlConnection<MediaListing>(
            *phone_, [&](AFCConnection& control) { return DcimScan(context_, *phone_, control).media(); });
        if (!listing.ok()) return failure(listing.error());
        std::vector<ImportItem> items;
        items.reserve(listing->size());
        for (std::size_t i = 0; i < listing->size(); ++i) {
            const auto& entry = listing->entry(i);
            auto* size = entry.find("size");
            auto* modified = entry.find("modified");
            auto number = [](const EncodableValue* value) -> std::int64_t {
                if (!value) return 0;
                if (auto* small = value->get<std::int32_t>()) return *small;
                if (auto* large = value->get<std::int64_t>()) return *large;
                return 0;
            };
            items.push_back({listing->path(i), number(size), static_cast<double>(number(modified)) / 1000.0});
        }
        return items;
    });
    if (!listed.ok()) return failure(failed(listed.error()));
    return listed;
}

Result<void> PhoneImportSource::read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) {
    return whileBridgeLives<void>([&] { return readHere(item, sink, cancelled); });
}

Result<std::shared_ptr<AFCConnection>> PhoneImportSource::connect() {
    auto opened = onPhoneQueue<std::shared_ptr<AFCConnection>>(
        [this]() -> Result<std::shared_ptr<AFCConnection>> { return context_.links.openAFCConnection(*phone_); });
    // A phone unplugged as the connection opens says "disconnected" before
    // the notice that it left: the item's own failure only if it stays linked.
    if (!opened.ok()) return failure(failed(opened.error(), kNoticeDelay));
    return opened;
}

PhoneImportSource::~PhoneImportSource() {
    // Closed while the bridge (and the provider it speaks through) lives;
    // once it has gone, so have its connections.
    bridge_.guard([this] {
        MutexLock guard(poolLock_);
        for (auto& connection : idle_) connection->close();
    })();
}

Result<void> PhoneImportSource::overConnection(const ConnectionRead& read) {
    for (bool retried = false;;) {
        std::shared_ptr<AFCConnection> connection;
        if (!retried) {
            MutexLock guard(poolLock_);
            if (!idle_.empty()) {
                connection = std::move(idle_.back());
                idle_.pop_back();
            }
        }
        bool kept = connection != nullptr;
        if (!kept) {
            auto opened = connect();
            if (!opened.ok()) return failure(opened.error());
            connection = opened.value();
        }
        bool handedOn = false;
        auto outcome = read(*connection, handedOn);
        if (outcome.ok()) {
            MutexLock guard(poolLock_);
            if (idle_.size() < kMaxIdleConnections) {
                idle_.push_back(std::move(connection));
                return {};
            }
        }
        connection->close();
        if (outcome.ok()) return {};
        bool cancelled = outcome.error().code == Error::Code::cancelled;
        if (kept && !handedOn && !cancelled && !context_.stopping()) {
            // The others kept beside it are as old: they go too.
            std::vector<std::shared_ptr<AFCConnection>> stale;
            {
                MutexLock guard(poolLock_);
                stale.swap(idle_);
            }
            for (auto& other : stale) other->close();
            retried = true;
            continue;
        }
        return failure(failed(outcome.error(), kNoticeDelay));
    }
}

Result<void> PhoneImportSource::readHere(const ImportItem& item, const Sink& sink,
                                         const std::function<bool()>& cancelled) {
    return overConnection([&](AFCConnection& connection, bool& handedOn) -> IPhoneResult<void> {
        std::int64_t bytes = 0;
        auto streamed = streamFile(context_.api(), connection, DcimScan::phonePath(item.path),
                                   [&](const std::uint8_t* data, std::uint32_t length) -> IPhoneResult<void> {
                                       if (cancelled() || context_.stopping())
                                           return Error(Error::Code::cancelled, "Cancelled.");
                                       bytes += length;
                                       handedOn = true;
                                       return sink(data, length);
                                   });
        // More or fewer bytes than listed: the listing's size came from a stat
        // cache that knew an older file of that name; the next listing asks anew.
        bool cancelledNow = !streamed.ok() && streamed.error().code == Error::Code::cancelled;
        if (!cancelledNow && bytes != item.size) DcimScan::lookAgain(context_, *phone_, connection, item.path);
        if (!streamed.ok()) return streamed.error();
        return {};
    });
}

Result<void> PhoneImportSource::readAt(const ImportItem& item, std::int64_t offset, std::size_t length,
                                       const Sink& sink) {
    return whileBridgeLives<void>([&]() -> Result<void> {
        return overConnection([&](AFCConnection& connection, bool& handedOn) -> IPhoneResult<void> {
            auto streamed = streamRange(context_.api(), connection, DcimScan::phonePath(item.path), offset,
                                        static_cast<std::int64_t>(length),
                                        [&](const std::uint8_t* data, std::uint32_t size) -> IPhoneResult<void> {
                                            if (context_.stopping()) return Error(Error::Code::cancelled, "Cancelled.");
                                            handedOn = true;
                                            return sink(data, size);
                                        });
            if (!streamed.ok()) return streamed.error();
            return {};
        });
    });
}

Result<void> PhoneImportSource::remove(const ImportItem&) {
    return failure(Error{Error::Code::noPermission, "Photos are never deleted from a phone."});
}

std::string PhoneImportSource::notReady() const {
    MutexLock info(phone_->infoLock);
    if (phone_->paired) return {};
    return phone_->name.value_or("The iPhone") +
           " does not trust this computer yet: unlock it and tap Trust, then plug it in again.";
}

}  // namespace lumivane
