#include "bridges/iphone/mobile_device_bridge.h"

#include "bridges/iphone/dcim_scan.h"
#include "bridges/iphone/iphone_thumbnail.h"
#include "bridges/iphone/phone_import_source.h"
#include "bridges/iphone/photo_index.h"
#include "bridges/iphone/transfer.h"
#include "runtime/allocator.h"
#include "runtime/mutex.h"

namespace lumivane {

namespace {

// The answer encoded where the work ran, off the main loop.
template <typename T>
IPhoneResult<EncodedAnswer> encoded(IPhoneResult<T> outcome) {
    if (!outcome.ok()) return outcome.error();
    return EncodedAnswer::of(EncodableValue(std::move(outcome).value()));
}

}  // namespace

MobileDeviceBridge::MobileDeviceBridge(std::unique_ptr<MobileDevice> api, MainLoop& loop,
                                       std::shared_ptr<EventHandler> events, Log& log, const Clock& clock,
                                       Imaging& imaging, Options options)
    : loop_(loop),
      imaging_(imaging),
      links_(std::move(api), loop, events, log, clock,
             {.linkWait = options.linkWait, .pairInterval = options.pairInterval, .dataFolder = options.dataFolder}),
      context_{.links = links_,
               .clock = clock,
               .log = log,
               .events = *events,
               .transfers = transfers_,
               .dataFolder = options.dataFolder,
               .maxSizingWorkers = options.maxSizingWorkers,
               .takeCancel = [this](const std::string& token) { return takeCancel(token); }} {}

MobileDeviceBridge::~MobileDeviceBridge() {
    // The links' notices call this bridge's arrival and departure handlers:
    // they end before any member goes (this bridge's lifetime goes first).
    links_.endNotices();
}

const std::map<std::string, MobileDeviceBridge::Method, std::less<>>& MobileDeviceBridge::methods() {
    static const std::map<std::string, Method, std::less<>> table{
        {"iphone.available", &MobileDeviceBridge::availability},
        {"iphone.setAutoWifi", &MobileDeviceBridge::setAutoWifi},
        {"iphone.list", &MobileDeviceBridge::list},
        {"iphone.cancel", &MobileDeviceBridge::cancel},
        {"iphone.children", &MobileDeviceBridge::children},
        {"iphone.media", &MobileDeviceBridge::media},
        {"iphone.download", &MobileDeviceBridge::download},
        {"iphone.photosIndex", &MobileDeviceBridge::photosIndex},
        {"iphone.thumbnail", &MobileDeviceBridge::thumbnail},
    };
    return table;
}

bool MobileDeviceBridge::handle(const MethodCall& call, MethodResult& result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    auto method = methods().find(call.method);
    if (method == methods().end()) return false;  // not an iPhone method of this build
    (this->*method->second)(Arguments(call.arguments), result);
    return true;
}

void MobileDeviceBridge::availability(const Arguments&, MethodResult& result) { result.success(available()); }

void MobileDeviceBridge::setAutoWifi(const Arguments& args, MethodResult& result) {
    links_.setAutoWifi(args.boolean("on").value_or(true));
    result.success();
}

void MobileDeviceBridge::list(const Arguments&, MethodResult& result) { result.success(links_.summaries()); }

void MobileDeviceBridge::cancel(const Arguments& args, MethodResult& result) {
    if (auto token = args.string("token")) {
        MutexLock guard(cancelLock_);
        cancelled_.insert(*token);
    }
    result.success();
}

void MobileDeviceBridge::children(const Arguments& args, MethodResult& result) {
    runOnPhone(args, result, [this, path = args.string("path").value_or("")](IPhone& phone, AFCConnection& control) {
        return encoded(DcimScan(context_, phone, control).children(path));
    });
}

void MobileDeviceBridge::media(const Arguments& args, MethodResult& result) {
    runOnPhone(args, result, [this](IPhone& phone, AFCConnection& control) {
        IPhoneResult<EncodedAnswer> answer = Error("");
        {
            auto listing = DcimScan(context_, phone, control).media();
            if (!listing.ok()) return IPhoneResult<EncodedAnswer>(listing.error());
            // What the scan freed goes back before the answer is written: the
            // answer's megabytes would otherwise come on top of it.
            releaseFreeMemory();
            answer = EncodedAnswer::written([&](ValueWriter& writer) { listing->write(writer); },
                                            listing->encodedSizeHint());
        }
        // The listing is gone; its pages and the scan's go back now rather
        // than linger under the next listing.
        releaseFreeMemory();
        return answer;
    });
}

void MobileDeviceBridge::photosIndex(const Arguments& args, MethodResult& result) {
    runOnPhone(args, result, [this](IPhone& phone, AFCConnection& control) {
        return encoded(PhotoIndex(context_, phone, control).copy());
    });
}

void MobileDeviceBridge::thumbnail(const Arguments& args, MethodResult& result) {
    // Beyond any picture's size a bound changes nothing; below 1 it gives null.
    int px = args.pixelSize("px", 256);
    runOnPhone(args, result,
               [this, px, path = args.string("path").value_or("")](
                   IPhone&, AFCConnection& control) -> IPhoneResult<EncodedAnswer> {
                   auto rendered = IPhoneThumbnail(*links_.api(), control, imaging_).render(path, px);
                   if (!rendered.ok()) return rendered.error();
                   auto& jpeg = rendered.value();
                   return EncodedAnswer::of(jpeg ? EncodableValue(std::move(*jpeg)) : EncodableValue());
               });
}

void MobileDeviceBridge::download(const Arguments& args, MethodResult& result) {
    PendingResult pending(std::move(result), loop_);
    auto path = args.string("path"), target = args.string("target"), token = args.string("token");
    if (!path || !target || !token) return answerLater(pending, Error{"Bad download request."});
    Transfer transfer{*path, *target, *token, args.string("within").value_or("")};
    auto found = lookup(args);
    if (!found.ok()) return answerLater(pending, found.error());
    IPhone* p = found.value().get();
    p->queue.post(lifetime_.guard([this, p, pending, transfer] {
        if (links_.stopping()) return;  // dropped unanswered: the host is going
        auto opened = links_.openAFCConnection(*p);
        if (!opened.ok()) return answerLater(pending, opened.error());
        // The transfer's own connection is closed however its task ends,
        // run or dropped.
        std::shared_ptr<AFCConnection> connection(opened.value().get(),
                                                  [owned = opened.value()](AFCConnection*) { owned->close(); });
        transfers_.post(lifetime_.guard([this, pending, transfer, connection] {
            if (links_.stopping()) return;
            answerLater(pending, encoded(transfer.run(context_, connection)));
        }));
    }));
}

template <typename Work>
void MobileDeviceBridge::runOnPhone(const Arguments& args, MethodResult& result, Work work) {
    PendingResult pending(std::move(result), loop_);
    auto found = lookup(args);
    if (!found.ok()) return answerLater(pending, found.error());
    IPhone* p = found.value().get();
    p->queue.post(lifetime_.guard([this, p, pending, work = std::move(work)] {
        if (links_.stopping()) return;  // dropped unanswered: the host is going
        answerLater(pending, links_.withControlConnection<EncodedAnswer>(
                                 *p, [&](AFCConnection& control) { return work(*p, control); }));
    }));
}

void MobileDeviceBridge::offerImports(ImportSources& sources) {
    offered_ = sources.add("iphone", [this](const std::string& udid) -> Result<std::shared_ptr<ImportSource>> {
        if (!available()) return failure(Error{Error::Code::unavailable, "This Mac can't reach iPhones."});
        auto phone = links_.phone(udid);
        if (!phone) return failure(Error{Error::Code::notFound, "No iPhone " + udid + " is known to this Mac."});
        return std::shared_ptr<ImportSource>(std::make_shared<PhoneImportSource>(context_, phone, lifetime_.handle()));
    });
    links_.setArrivalHandler([this, &sources](const std::string& udid) {
        loop_.post(lifetime_.guard([&sources, udid] { sources.arrived("iphone", udid); }));
    });
    links_.setDepartureHandler([this, &sources](const std::string& udid) {
        loop_.post(lifetime_.guard([&sources, udid] { sources.departed("iphone", udid); }));
    });
}

bool MobileDeviceBridge::takeCancel(const std::string& token) {
    if (links_.stopping()) return true;  // every transfer ends when the host goes
    MutexLock guard(cancelLock_);
    return cancelled_.erase(token) > 0;
}

IPhoneResult<std::shared_ptr<IPhone>> MobileDeviceBridge::lookup(const Arguments& args) {
    if (!available()) return Error{"This Mac can't reach iPhones over Wi-Fi (MobileDevice.framework is missing)."};
    auto udid = args.string("udid");
    if (!udid) return Error{"No device given."};
    auto found = links_.phone(*udid);
    if (!found)
        return Error{"The iPhone isn't on this network right now. Wake it, or plug it in once with Lumivane open."};
    return found;
}

void MobileDeviceBridge::answerLater(const PendingResult& result, IPhoneResult<EncodedAnswer> outcome) {
    if (outcome.ok())
        result.success(std::move(outcome).value());
    else
        result.error("iphone", outcome.error());
}

}  // namespace lumivane
