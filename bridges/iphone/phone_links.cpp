#include "bridges/iphone/phone_links.h"

#include "platform/common/property_list.h"
#include "runtime/mutex.h"

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

namespace {

// What the provider calls back with, for the life of the process (the
// provider keeps the pointer): the links' notice handler, guarded by their
// lifetime.
using NoticeHandler = std::function<void(AMDeviceRef, std::uint32_t)>;

void noticeCallback(am_device_notification_callback_info* info, void* context) {
    if (info) (*static_cast<NoticeHandler*>(context))(info->device, info->kind);
}

// Phone queue: the control connection and the session closed.
void closeLinks(const MobileDevice& api, IPhone& phone) {
    if (phone.control) {
        phone.control->close();
        phone.control.reset();
    }
    if (phone.session) {
        api.AMDeviceStopSession(phone.session);
        api.AMDeviceDisconnect(phone.session);
        phone.session = nullptr;
    }
}

}  // namespace

PhoneLinks::PhoneLinks(std::unique_ptr<MobileDevice> api, MainLoop& loop, std::shared_ptr<EventHandler> events,
                       Log& log, const Clock& clock, Options options)
    : api_(std::move(api)), loop_(loop), events_(std::move(events)), log_(log), clock_(clock), options_(options) {}

PhoneLinks::~PhoneLinks() {
    lifetime_.end();  // no notice or queued link work runs from here on
    std::map<std::string, std::shared_ptr<IPhone>> all;
    {
        MutexLock guard(lock_);
        all = phones_;
    }
    for (auto& [udid, phone] : all) {
        // Closed on the phone's queue, after whatever work is still queued there.
        Semaphore done;
        phone->queue.post([api = api_.get(), p = phone.get(), &done] {
            closeLinks(*api, *p);
            done.signal();
        });
        while (!done.waitFor(std::chrono::minutes(1))) {
        }  // the task refers to `done`: it must have run before `done` goes
        MutexLock links(phone->linkLock);
        if (phone->usb) api_->AMDeviceRelease(phone->usb);
        if (phone->wifi) api_->AMDeviceRelease(phone->wifi);
        phone->usb = phone->wifi = nullptr;
    }
}

void PhoneLinks::shutdown() {
    stopping_ = true;
    std::vector<std::shared_ptr<IPhone>> all;
    {
        MutexLock guard(lock_);
        for (auto& [udid, phone] : phones_) all.push_back(phone);
    }
    for (auto& phone : all) {
        std::vector<std::shared_ptr<Semaphore>> waiters;
        {
            MutexLock links(phone->linkLock);
            waiters.swap(phone->linkWaiters);
        }
        for (auto& waiter : waiters) waiter->signal();
    }
}

void PhoneLinks::subscribe() {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    if (!api_) {
        log_.write("Lumivane: MobileDevice.framework unavailable; iPhones over Wi-Fi are off");
        return;
    }
    auto* handler = new NoticeHandler(
        lifetime_.guard([this](AMDeviceRef device, std::uint32_t kind) { deviceNotice(device, kind); }));
    Plist options(plist_new_dict());
    plist_dict_set_item(options.get(), "NotificationOptionSearchForPairedDevices", plist_new_bool(1));
    AMDeviceNotificationRef subscription = nullptr;
    std::int32_t code =
        api_->AMDeviceNotificationSubscribeWithOptions(&noticeCallback, 0, 0, handler, &subscription, options.get());
    if (code != 0) log_.write("Lumivane: MobileDevice subscribe failed: " + api_->frameworkErrorText(code));
}

std::shared_ptr<IPhone> PhoneLinks::phone(const std::string& udid) {
    MutexLock guard(lock_);
    auto it = phones_.find(udid);
    return it == phones_.end() ? nullptr : it->second;
}

void PhoneLinks::deviceNotice(AMDeviceRef device, std::uint32_t kind) {
    if (!device || (kind != kAMDeviceAttached && kind != kAMDeviceDetached)) return;
    std::uint32_t type = api_->AMDeviceGetInterfaceType(device);
    if (type != kAMDInterfaceUSB && type != kAMDInterfaceWiFi) return;
    Plist identifier(api_->AMDeviceCopyDeviceIdentifier(device));
    std::string udid = plist::stringValue(identifier.get()).value_or("");
    if (udid.empty()) return;

    std::shared_ptr<IPhone> phone;
    bool autoWifiSnapshot;
    {
        MutexLock guard(lock_);
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
    // A USB attach is announced once its trust is known (refresh() on the
    // phone's queue); a Wi-Fi link exists only for a phone that trusts us.
    if (kind == kAMDeviceAttached && wifi && arrival_) arrival_(udid);
    if (kind == kAMDeviceDetached && departure_) {
        bool linked;
        {
            MutexLock links(phone->linkLock);
            linked = phone->usb || phone->wifi;
        }
        if (!linked) departure_(udid);
    }
}

void PhoneLinks::attach(const std::shared_ptr<IPhone>& phone, AMDeviceRef device, bool wifi, bool autoWifiSnapshot) {
    AMDeviceRef retained = api_->AMDeviceRetain(device);
    if (!retained) return;
    AMDeviceRef replaced;
    std::vector<std::shared_ptr<Semaphore>> waiters;
    {
        MutexLock links(phone->linkLock);
        AMDeviceRef& slot = wifi ? phone->wifi : phone->usb;
        replaced = slot;
        slot = retained;
        waiters.swap(phone->linkWaiters);
    }
    for (auto& waiter : waiters) waiter->signal();
    IPhone* p = phone.get();
    if (replaced) {
        // Released on the phone's queue, unless a session still runs on it.
        // Not guarded: a handle is let go even while the links end (their
        // destructor closes each phone on its queue after this has run).
        p->queue.post([api = api_.get(), p, replaced] {
            if (replaced != p->session) api->AMDeviceRelease(replaced);
        });
    }
    if (!wifi)
        p->queue.post(lifetime_.guard([this, p, autoWifiSnapshot] {
            refresh(*p, autoWifiSnapshot);
            if (arrival_) arrival_(p->udid);
        }));
}

void PhoneLinks::detach(const std::shared_ptr<IPhone>& phone, bool wifi) {
    AMDeviceRef handle;
    {
        MutexLock links(phone->linkLock);
        AMDeviceRef& slot = wifi ? phone->wifi : phone->usb;
        handle = slot;
        slot = nullptr;
    }
    IPhone* p = phone.get();
    // Not guarded, as in attach(): the handle is let go whatever happens.
    p->queue.post([api = api_.get(), p, handle] {
        if (handle && handle == p->session) closeLinks(*api, *p);
        if (handle) api->AMDeviceRelease(handle);
    });
}

std::optional<std::string> PhoneLinks::readName(AMDeviceRef device) {
    Plist key(plist_new_string("DeviceName"));
    Plist value(api_->AMDeviceCopyValue(device, nullptr, key.get()));
    return plist::stringValue(value.get());
}

void PhoneLinks::refresh(IPhone& phone, bool wifiFlag) {
    AMDeviceRef usb;
    {
        MutexLock links(phone.linkLock);
        usb = phone.usb;
    }
    if (!usb || phone.session == usb) return;  // no USB link, or a session is using it
    if (api_->AMDeviceConnect(usb) != 0) return;

    if (api_->AMDeviceIsPaired(usb) != 0 && api_->AMDeviceValidatePairing(usb) == 0) {
        {
            MutexLock info(phone.infoLock);
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
            MutexLock info(phone.infoLock);
            phone.name = name;
            phone.wifiEnabled = wifiEnabled;
        }
        api_->AMDeviceStopSession(usb);
        api_->AMDeviceDisconnect(usb);
        return;
    }

    {
        MutexLock info(phone.infoLock);
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

void PhoneLinks::setAutoWifi(bool on) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    std::vector<IPhone*> known;
    {
        MutexLock guard(lock_);
        autoWifi_ = on;
        for (auto& [udid, phone] : phones_) known.push_back(phone.get());
    }
    if (!on) return;
    for (auto* p : known) p->queue.post(lifetime_.guard([this, p] { refresh(*p, true); }));
}

void PhoneLinks::waitForLink(IPhone& phone, std::chrono::milliseconds timeout) {
    auto waiter = std::make_shared<Semaphore>();
    {
        MutexLock links(phone.linkLock);
        if (phone.usb || phone.wifi || stopping_) return;  // shutdown() wakes the waits it finds
        phone.linkWaiters.push_back(waiter);
    }
    waiter->waitFor(timeout);
}

IPhoneResult<AMDeviceRef> PhoneLinks::openSession(IPhone& phone) {
    if (phone.session) return phone.session;
    bool anyLink;
    {
        MutexLock links(phone.linkLock);
        anyLink = phone.usb || phone.wifi;
    }
    if (!anyLink) {
        log_.write("Lumivane iPhone " + phone.udid + ": no link right now, waiting for it");
        waitForLink(phone, options_.linkWait);
    }
    AMDeviceRef device;
    {
        MutexLock links(phone.linkLock);
        device = phone.wifi ? phone.wifi : phone.usb;
    }
    if (!device)
        return Error{phone.displayName() +
                     " isn't answering over Wi-Fi. Wake it \u2014 turn its screen on \u2014 and try again."};
    if (std::int32_t code = api_->AMDeviceConnect(device); code != 0)
        return Error{"Couldn't reach " + phone.displayName() + ": " + api_->frameworkErrorText(code) + "."};
    if (api_->AMDeviceValidatePairing(device) != 0) {
        api_->AMDeviceDisconnect(device);
        return Error{phone.displayName() + " doesn't trust this Mac yet. Plug it in and tap Trust."};
    }
    if (std::int32_t code = api_->AMDeviceStartSession(device); code != 0) {
        api_->AMDeviceDisconnect(device);
        return Error{"Couldn't open " + phone.displayName() + ": " + api_->frameworkErrorText(code) + "."};
    }
    bool nameKnown;
    {
        MutexLock info(phone.infoLock);
        nameKnown = phone.name.has_value();
    }
    if (!nameKnown) {
        auto name = readName(device);
        MutexLock info(phone.infoLock);
        phone.name = name;
    }
    phone.session = device;
    return device;
}

void PhoneLinks::closeLinkState(IPhone& phone) { closeLinks(*api_, phone); }

IPhoneResult<std::shared_ptr<AFCConnection>> PhoneLinks::openAFCConnection(IPhone& phone, bool keepSession) {
    auto session = openSession(phone);
    if (!session.ok()) return session.error();
    Plist name(plist_new_string("com.apple.afc"));
    AMDServiceConnectionRef service = nullptr;
    std::int32_t code = api_->AMDeviceSecureStartService(session.value(), name.get(), nullptr, &service);
    if (code != 0 || !service) {
        if (!keepSession) closeLinkState(phone);
        return Error{phone.displayName() + " didn't open its photo storage: " + api_->frameworkErrorText(code) + "."};
    }
    AFCConnectionRef afc = nullptr;
    code = api_->AFCConnectionOpen(api_->AMDServiceConnectionGetSocket(service), 0, &afc);
    if (code != 0 || !afc) {
        api_->AMDServiceConnectionInvalidate(service);
        return Error{"AFC: " + api_->afcErrorText(code)};
    }
    if (void* context = api_->AMDServiceConnectionGetSecureIOContext(service))
        api_->AFCConnectionSetSecureContext(afc, context);
    return std::make_shared<AFCConnection>(*api_, service, afc);
}

EncodableList PhoneLinks::summaries() {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    std::vector<std::shared_ptr<IPhone>> known;
    {
        MutexLock guard(lock_);
        for (auto& [udid, phone] : phones_) known.push_back(phone);
    }
    EncodableList list;
    for (auto& phone : known) {
        EncodableList links;
        {
            MutexLock guard(phone->linkLock);
            if (phone->usb) links.push_back("usb");
            if (phone->wifi) links.push_back("wifi");
        }
        if (links.empty()) continue;
        MutexLock info(phone->infoLock);
        EncodableMap summary{{"udid", phone->udid}, {"links", links}, {"paired", phone->paired}};
        if (phone->name) summary.set("name", *phone->name);
        if (phone->wifiEnabled) summary.set("wifiEnabled", *phone->wifiEnabled);
        list.push_back(std::move(summary));
    }
    return list;
}

StatCache& PhoneLinks::statCache(IPhone& phone) {
    if (!phone.stats) phone.stats = std::make_unique<StatCache>(options_.dataFolder, phone.udid);
    return *phone.stats;
}

}  // namespace lumivane
