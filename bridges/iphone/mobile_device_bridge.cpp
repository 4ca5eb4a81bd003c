#include "bridges/iphone/mobile_device_bridge.h"

#include <algorithm>

#include "bridges/iphone/dcim_scan.h"
#include "bridges/iphone/iphone_thumbnail.h"
#include "bridges/iphone/photo_index.h"
#include "bridges/iphone/transfer.h"
#include "channel/arguments.h"
#include "platform/property_list.h"

namespace lumivane {

namespace {

constexpr const char* kWirelessDomain = "com.apple.mobile.wireless_lockdown";
constexpr const char* kWifiKey = "EnableWifiConnections";

// A lockdown value as a number's truth (booleans count as numbers); nullopt
// when it is no number.
std::optional<bool> numberTruth(plist_t value) {
    if (!value) return std::nullopt;
    switch (plist_get_node_type(value)) {
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(value, &v);
            return v != 0;
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(value, &v);
            return v != 0;
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(value, &v);
            return v != 0;
        }
        default: return std::nullopt;
    }
}

}  // namespace

// What the provider calls back with: the bridge while it lives. Deliberately
// never freed, since the provider keeps the pointer for the life of the process.
struct MobileDeviceBridge::NoticeTarget {
    std::mutex mutex;
    MobileDeviceBridge* bridge;

    static void callback(am_device_notification_callback_info* info, void* context) {
        auto* target = static_cast<NoticeTarget*>(context);
        std::lock_guard lock(target->mutex);
        if (target->bridge && info) target->bridge->deviceNotice(info->device, info->kind);
    }
};

MobileDeviceBridge::MobileDeviceBridge(std::unique_ptr<MobileDevice> api, MainLoop& loop,
                                       std::shared_ptr<EventHandler> events, Log& log, const Clock& clock,
                                       Imaging& imaging, Options options)
    : api_(std::move(api)),
      loop_(loop),
      events_(std::move(events)),
      log_(log),
      clock_(clock),
      imaging_(imaging),
      options_(options) {}

MobileDeviceBridge::~MobileDeviceBridge() {
    if (target_) {
        std::lock_guard lock(target_->mutex);
        target_->bridge = nullptr;
    }
    std::map<std::string, std::shared_ptr<IPhone>> all;
    {
        std::lock_guard guard(lock_);
        all = phones_;
    }
    for (auto& [udid, phone] : all) {
        Semaphore done;
        phone->queue.post([this, p = phone.get(), &done] {
            closeLinkState(*p);
            done.signal();
        });
        while (!done.waitFor(std::chrono::minutes(1))) {
        }  // the task refers to `done`: it must have run before `done` goes
        std::lock_guard links(phone->linkLock);
        if (phone->usb) api_->AMDeviceRelease(phone->usb);
        if (phone->wifi) api_->AMDeviceRelease(phone->wifi);
        phone->usb = phone->wifi = nullptr;
    }
}

void MobileDeviceBridge::shutdown() {
    stopping_ = true;
    std::vector<std::shared_ptr<IPhone>> all;
    {
        std::lock_guard guard(lock_);
        for (auto& [udid, phone] : phones_) all.push_back(phone);
    }
    for (auto& phone : all) {
        std::vector<std::shared_ptr<Semaphore>> waiters;
        {
            std::lock_guard links(phone->linkLock);
            waiters.swap(phone->linkWaiters);
        }
        for (auto& waiter : waiters) waiter->signal();
    }
}

void MobileDeviceBridge::subscribe() {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    if (!api_) {
        log_.write("Lumivane: MobileDevice.framework unavailable; iPhones over Wi-Fi are off");
        return;
    }
    target_ = new NoticeTarget{{}, this};
    Plist options(plist_new_dict());
    plist_dict_set_item(options.get(), "NotificationOptionSearchForPairedDevices", plist_new_bool(1));
    AMDeviceNotificationRef subscription = nullptr;
    std::int32_t code = api_->AMDeviceNotificationSubscribeWithOptions(&NoticeTarget::callback, 0, 0, target_,
                                                                       &subscription, options.get());
    if (code != 0) log_.write("Lumivane: MobileDevice subscribe failed: " + api_->frameworkErrorText(code));
}

std::shared_ptr<IPhone> MobileDeviceBridge::phone(const std::string& udid) {
    std::lock_guard guard(lock_);
    auto it = phones_.find(udid);
    return it == phones_.end() ? nullptr : it->second;
}

void MobileDeviceBridge::deviceNotice(AMDeviceRef device, std::uint32_t kind) {
    if (!device || (kind != kAMDeviceAttached && kind != kAMDeviceDetached)) return;
    std::uint32_t type = api_->AMDeviceGetInterfaceType(device);
    if (type != kAMDInterfaceUSB && type != kAMDInterfaceWiFi) return;
    Plist identifier(api_->AMDeviceCopyDeviceIdentifier(device));
    std::string udid = plist::stringValue(identifier.get()).value_or("");
    if (udid.empty()) return;

    std::shared_ptr<IPhone> phone;
    bool autoWifiSnapshot;
    {
        std::lock_guard guard(lock_);
        auto& slot = phones_[udid];
        if (!slot) slot = std::make_shared<IPhone>(udid);
        phone = slot;
        autoWifiSnapshot = autoWifi_;
    }
    bool wifi = type == kAMDInterfaceWiFi;
    if (kind == kAMDeviceAttached)
        attach(phone, device, wifi, autoWifiSnapshot);
    else
        detach(phone, wifi);
    log_.write("Lumivane iPhone " + udid + ": " + (wifi ? "Wi-Fi" : "USB") + " " +
               (kind == kAMDeviceAttached ? "attached" : "detached"));
    events_->post(EncodableMap{{"type", "iphones"}});
}

void MobileDeviceBridge::attach(const std::shared_ptr<IPhone>& phone, AMDeviceRef device, bool wifi,
                                bool autoWifiSnapshot) {
    AMDeviceRef retained = api_->AMDeviceRetain(device);
    if (!retained) return;
    AMDeviceRef replaced;
    std::vector<std::shared_ptr<Semaphore>> waiters;
    {
        std::lock_guard links(phone->linkLock);
        AMDeviceRef& slot = wifi ? phone->wifi : phone->usb;
        replaced = slot;
        slot = retained;
        waiters.swap(phone->linkWaiters);
    }
    for (auto& waiter : waiters) waiter->signal();
    IPhone* p = phone.get();
    if (replaced) {
        // Released on the phone's queue, unless a session still runs on it.
        p->queue.post([this, p, replaced] {
            if (replaced != p->session) api_->AMDeviceRelease(replaced);
        });
    }
    if (!wifi) p->queue.post([this, p, autoWifiSnapshot] { refresh(*p, autoWifiSnapshot); });
}

void MobileDeviceBridge::detach(const std::shared_ptr<IPhone>& phone, bool wifi) {
    AMDeviceRef handle;
    {
        std::lock_guard links(phone->linkLock);
        AMDeviceRef& slot = wifi ? phone->wifi : phone->usb;
        handle = slot;
        slot = nullptr;
    }
    IPhone* p = phone.get();
    p->queue.post([this, p, handle] {
        if (handle && handle == p->session) closeLinkState(*p);
        if (handle) api_->AMDeviceRelease(handle);
    });
}

std::optional<std::string> MobileDeviceBridge::readName(AMDeviceRef device) {
    Plist key(plist_new_string("DeviceName"));
    Plist value(api_->AMDeviceCopyValue(device, nullptr, key.get()));
    return plist::stringValue(value.get());
}

void MobileDeviceBridge::refresh(IPhone& phone, bool wifiFlag) {
    AMDeviceRef usb;
    {
        std::lock_guard links(phone.linkLock);
        usb = phone.usb;
    }
    if (!usb || phone.session == usb) return;  // no USB link, or a session is using it
    if (api_->AMDeviceConnect(usb) != 0) return;

    if (api_->AMDeviceIsPaired(usb) != 0 && api_->AMDeviceValidatePairing(usb) == 0) {
        {
            std::lock_guard info(phone.infoLock);
            phone.paired = true;
        }
        if (api_->AMDeviceStartSession(usb) != 0) {
            api_->AMDeviceDisconnect(usb);
            return;
        }
        auto name = readName(usb);
        Plist domain(plist_new_string(kWirelessDomain));
        Plist key(plist_new_string(kWifiKey));
        Plist value(api_->AMDeviceCopyValue(usb, domain.get(), key.get()));
        auto number = numberTruth(value.get());
        std::optional<bool> wifiEnabled;
        if (number && (*number || !wifiFlag)) {
            wifiEnabled = *number;
        } else if (!number && !wifiFlag) {
            wifiEnabled = false;
        } else {
            Plist on(plist_new_bool(1));
            std::int32_t code = api_->AMDeviceSetValue(usb, domain.get(), key.get(), on.get());
            Plist readBack(api_->AMDeviceCopyValue(usb, domain.get(), key.get()));
            wifiEnabled = numberTruth(readBack.get()).value_or(false);
            log_.write("Lumivane iPhone " + phone.udid + ": Wi-Fi turned " + (*wifiEnabled ? "on" : "off") + ", " +
                       api_->frameworkErrorText(code));
        }
        {
            std::lock_guard info(phone.infoLock);
            phone.name = name;
            phone.wifiEnabled = wifiEnabled;
        }
        api_->AMDeviceStopSession(usb);
        api_->AMDeviceDisconnect(usb);
        return;
    }

    {
        std::lock_guard info(phone.infoLock);
        phone.paired = false;
    }
    auto now = clock_.steadyNow();
    if (!phone.pairAskedAt || now - *phone.pairAskedAt > options_.pairInterval) {
        phone.pairAskedAt = now;
        std::int32_t code = api_->AMDevicePair(usb);
        log_.write("Lumivane iPhone " + phone.udid + ": pairing asked, " + api_->frameworkErrorText(code));
    }
    api_->AMDeviceDisconnect(usb);
}

void MobileDeviceBridge::setAutoWifi(bool on) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    std::vector<IPhone*> known;
    {
        std::lock_guard guard(lock_);
        autoWifi_ = on;
        for (auto& [udid, phone] : phones_) known.push_back(phone.get());
    }
    if (!on) return;
    for (auto* p : known) p->queue.post([this, p] { refresh(*p, true); });
}

void MobileDeviceBridge::waitForLink(IPhone& phone, std::chrono::milliseconds timeout) {
    auto waiter = std::make_shared<Semaphore>();
    {
        std::lock_guard links(phone.linkLock);
        if (phone.usb || phone.wifi || stopping_) return;  // shutdown() wakes the waits it finds
        phone.linkWaiters.push_back(waiter);
    }
    waiter->waitFor(timeout);
}

IPhoneResult<AMDeviceRef> MobileDeviceBridge::openSession(IPhone& phone) {
    if (phone.session) return phone.session;
    bool anyLink;
    {
        std::lock_guard links(phone.linkLock);
        anyLink = phone.usb || phone.wifi;
    }
    if (!anyLink) {
        log_.write("Lumivane iPhone " + phone.udid + ": no link right now, waiting for it");
        waitForLink(phone, options_.linkWait);
    }
    AMDeviceRef device;
    {
        std::lock_guard links(phone.linkLock);
        device = phone.wifi ? phone.wifi : phone.usb;
    }
    if (!device)
        return DeviceError{phone.displayName() +
                           " isn't answering over Wi-Fi. Wake it \u2014 turn its screen on \u2014 and try again."};
    if (std::int32_t code = api_->AMDeviceConnect(device); code != 0)
        return DeviceError{"Couldn't reach " + phone.displayName() + ": " + api_->frameworkErrorText(code) + "."};
    if (api_->AMDeviceValidatePairing(device) != 0) {
        api_->AMDeviceDisconnect(device);
        return DeviceError{phone.displayName() + " doesn't trust this Mac yet. Plug it in and tap Trust."};
    }
    if (std::int32_t code = api_->AMDeviceStartSession(device); code != 0) {
        api_->AMDeviceDisconnect(device);
        return DeviceError{"Couldn't open " + phone.displayName() + ": " + api_->frameworkErrorText(code) + "."};
    }
    bool nameKnown;
    {
        std::lock_guard info(phone.infoLock);
        nameKnown = phone.name.has_value();
    }
    if (!nameKnown) {
        auto name = readName(device);
        std::lock_guard info(phone.infoLock);
        phone.name = name;
    }
    phone.session = device;
    return device;
}

void MobileDeviceBridge::closeLinkState(IPhone& phone) {
    if (phone.control) {
        phone.control->close();
        phone.control.reset();
    }
    if (phone.session) {
        api_->AMDeviceStopSession(phone.session);
        api_->AMDeviceDisconnect(phone.session);
        phone.session = nullptr;
    }
}

IPhoneResult<std::shared_ptr<AFCConnection>> MobileDeviceBridge::openAFCConnection(IPhone& phone, bool keepSession) {
    auto session = openSession(phone);
    if (!session.ok()) return session.error();
    Plist name(plist_new_string("com.apple.afc"));
    AMDServiceConnectionRef service = nullptr;
    std::int32_t code = api_->AMDeviceSecureStartService(session.value(), name.get(), nullptr, &service);
    if (code != 0 || !service) {
        if (!keepSession) closeLinkState(phone);
        return DeviceError{phone.displayName() + " didn't open its photo storage: " + api_->frameworkErrorText(code) +
                           "."};
    }
    AFCConnectionRef afc = nullptr;
    code = api_->AFCConnectionOpen(api_->AMDServiceConnectionGetSocket(service), 0, &afc);
    if (code != 0 || !afc) {
        api_->AMDServiceConnectionInvalidate(service);
        return DeviceError{"AFC: " + api_->afcErrorText(code)};
    }
    if (void* context = api_->AMDServiceConnectionGetSecureIOContext(service))
        api_->AFCConnectionSetSecureContext(afc, context);
    return std::make_shared<AFCConnection>(*api_, service, afc);
}

std::string MobileDeviceBridge::errorText(const IPhoneError& error) const {
    if (auto* device = std::get_if<DeviceError>(&error)) return device->description;
    const auto& afc = std::get<AFCError>(error);
    return api_->afcErrorText(afc.code) + ": " + afc.path;
}

EncodableList MobileDeviceBridge::summaries() {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    std::vector<std::shared_ptr<IPhone>> known;
    {
        std::lock_guard guard(lock_);
        for (auto& [udid, phone] : phones_) known.push_back(phone);
    }
    EncodableList list;
    for (auto& phone : known) {
        EncodableList links;
        {
            std::lock_guard guard(phone->linkLock);
            if (phone->usb) links.push_back("usb");
            if (phone->wifi) links.push_back("wifi");
        }
        if (links.empty()) continue;
        std::lock_guard info(phone->infoLock);
        EncodableMap summary{{"udid", phone->udid}, {"links", links}, {"paired", phone->paired}};
        if (phone->name) summary.set("name", *phone->name);
        if (phone->wifiEnabled) summary.set("wifiEnabled", *phone->wifiEnabled);
        list.push_back(std::move(summary));
    }
    return list;
}

bool MobileDeviceBridge::handle(const MethodCall& call, MethodResult& result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    const std::string& method = call.method;
    if (method.rfind("iphone.", 0) != 0) return false;
    Arguments args(call.arguments);
    if (method == "iphone.available") {
        result.success(available());
    } else if (method == "iphone.setAutoWifi") {
        setAutoWifi(args.boolean("on").value_or(true));
        result.success();
    } else if (method == "iphone.list") {
        result.success(summaries());
    } else if (method == "iphone.cancel") {
        if (auto token = args.string("token")) {
            std::lock_guard guard(lock_);
            cancelled_.insert(*token);
        }
        result.success();
    } else if (method == "iphone.children" || method == "iphone.media" || method == "iphone.download" ||
               method == "iphone.photosIndex" || method == "iphone.thumbnail") {
        queued(call, result);
    } else {
        return false;  // not an iPhone method of this build
    }
    return true;
}

StatCache& MobileDeviceBridge::statCache(IPhone& phone) {
    if (!phone.stats) phone.stats = std::make_unique<StatCache>(options_.dataFolder, phone.udid);
    return *phone.stats;
}

bool MobileDeviceBridge::takeCancel(const std::string& token) {
    if (stopping_) return true;  // every transfer ends when the host goes
    std::lock_guard guard(lock_);
    return cancelled_.erase(token) > 0;
}

IPhoneResult<std::shared_ptr<IPhone>> MobileDeviceBridge::lookup(const Arguments& args) {
    if (!api_) return DeviceError{"This Mac can't reach iPhones over Wi-Fi (MobileDevice.framework is missing)."};
    auto udid = args.string("udid");
    if (!udid) return DeviceError{"No device given."};
    auto found = phone(*udid);
    if (!found)
        return DeviceError{
            "The iPhone isn't on this network right now. Wake it, or plug it in once with Lumivane open."};
    return found;
}

void MobileDeviceBridge::answerLater(const PendingResult& result, IPhoneResult<EncodableValue> outcome) {
    if (outcome.ok())
        result.success(std::move(outcome).value());
    else
        result.error("iphone", errorText(outcome.error()));
}

void MobileDeviceBridge::queued(const MethodCall& call, MethodResult& result) {
    PendingResult pending(std::move(result), loop_);
    Arguments args(call.arguments);
    Transfer transfer;
    bool download = call.method == "iphone.download";
    if (download) {
        auto path = args.string("path"), target = args.string("target"), token = args.string("token");
        if (!path || !target || !token) return answerLater(pending, DeviceError{"Bad download request."});
        transfer = Transfer{*path, *target, *token, args.string("within").value_or("")};
    }
    auto found = lookup(args);
    if (!found.ok()) return answerLater(pending, found.error());
    IPhone* p = found.value().get();

    if (download) {
        p->queue.post([this, p, pending, transfer] {
            if (stopping_) return;  // dropped unanswered: the host is going
            auto opened = openAFCConnection(*p);
            if (!opened.ok()) return answerLater(pending, opened.error());
            transfers_.post([this, pending, transfer, connection = opened.value()] {
                if (stopping_) return connection->close();
                auto outcome = transfer.run(*this, connection);
                if (outcome.ok())
                    answerLater(pending, EncodableValue(outcome.value()));
                else
                    answerLater(pending, outcome.error());
            });
        });
        return;
    }
    if (call.method == "iphone.photosIndex") {
        p->queue.post([this, p, pending] {
            if (stopping_) return;  // dropped unanswered: the host is going
            auto copied = withControlConnection<EncodableMap>(
                *p, [&](AFCConnection& control) { return PhotoIndex(*this, *p, control).copy(); });
            if (copied.ok())
                answerLater(pending, EncodableValue(std::move(copied.value())));
            else
                answerLater(pending, copied.error());
        });
        return;
    }
    std::string path = args.string("path").value_or("");
    if (call.method == "iphone.thumbnail") {
        // Beyond any picture's size a bound changes nothing; below 1 it gives null.
        int px = args.pixelSize("px", 256);
        p->queue.post([this, p, pending, path, px] {
            if (stopping_) return;  // dropped unanswered: the host is going
            auto rendered = withControlConnection<std::optional<Bytes>>(
                *p, [&](AFCConnection& control) { return IPhoneThumbnail(*api_, control, imaging_).render(path, px); });
            if (!rendered.ok()) return answerLater(pending, rendered.error());
            auto& jpeg = rendered.value();
            answerLater(pending, jpeg ? EncodableValue(std::move(*jpeg)) : EncodableValue());
        });
        return;
    }
    bool media = call.method == "iphone.media";
    p->queue.post([this, p, pending, media, path] {
        if (stopping_) return;  // dropped unanswered: the host is going
        auto listed = withControlConnection<EncodableList>(*p, [&](AFCConnection& control) {
            DcimScan scan(*this, *p, control);
            return media ? scan.media() : scan.children(path);
        });
        if (listed.ok())
            answerLater(pending, EncodableValue(std::move(listed.value())));
        else
            answerLater(pending, listed.error());
    });
}

}  // namespace lumivane
