#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridges/common/event_handler.h"
#include "bridges/iphone/iphone.h"
#include "bridges/iphone/iphone_error.h"
#include "platform/common/mobile_device_loader.h"
#include "runtime/clock.h"
#include "runtime/lifetime.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "runtime/mutex.h"

namespace lumivane {

// The phones the host knows and its links to them: follows phones as they
// attach and detach over USB and Wi-Fi, keeps their trust, name and
// Wi-Fi-sync state (asking for pairing and turning Wi-Fi sync on over USB),
// and opens the one lockdown session and AFC control connection per phone.
//
// Threads: device notices arrive on the provider's thread; work on a phone
// runs on that phone's serial queue (each method says where it runs). `lock_`
// guards `phones_` and `autoWifi_`; it is never held across an entry-point
// call or a wait. Queued work refers to this object through `lifetime_`.
class PhoneLinks {
public:
    struct Options {
        std::chrono::milliseconds linkWait = std::chrono::seconds(25);
        std::chrono::seconds pairInterval = std::chrono::seconds(30);
        std::string dataFolder;  // the local data folder; the stat caches live under it
    };

    // `api` null: the framework is unavailable and no phone is ever known.
    PhoneLinks(std::unique_ptr<MobileDevice> api, MainLoop& loop, std::shared_ptr<EventHandler> events, Log& log,
               const Clock& clock, Options options);
    // Stops the notices, then closes every phone's session on its queue.
    ~PhoneLinks();

    // Main loop, once: subscribes to device notices.
    void subscribe();
    // Called with a phone's UDID each time it attaches: over Wi-Fi on the
    // provider's thread, over USB on the phone's queue once it is known
    // whether the phone trusts this computer. Set before subscribe(), never after.
    void setArrivalHandler(std::function<void(const std::string& udid)> handler) { arrival_ = std::move(handler); }
    // No notice or queued link work runs from here on (the destructor does
    // it too); for an owner whose handlers go before the links. Main loop.
    void endNotices() { lifetime_.end(); }
    // Told when a phone's last link (USB or Wi-Fi) goes; on the notices' thread. Set before start.
    void setDepartureHandler(std::function<void(const std::string& udid)> handler) { departure_ = std::move(handler); }
    // Link waits end now and new ones do not start.
    void shutdown();
    // Any thread: whether the host is going.
    bool stopping() const { return stopping_; }
    const MobileDevice* api() const { return api_.get(); }

    // Any thread: the phone by UDID, or null.
    std::shared_ptr<IPhone> phone(const std::string& udid);
    // Main loop: the "iphone.list" summaries.
    EncodableList summaries();
    // Main loop: turns Wi-Fi sync on for phones that attach over USB from now
    // on (and for those known now), or stops doing so.
    void setAutoWifi(bool on);

    // Phone queue: reads trust, name and Wi-Fi state over USB.
    void refresh(IPhone& phone, bool wifiFlag);
    // Phone queue: the device handle with an open lockdown session.
    IPhoneResult<AMDeviceRef> openSession(IPhone& phone);
    // Phone queue: closes the control connection and the session.
    void closeLinkState(IPhone& phone);
    // Phone queue: a new AFC connection over the phone's session. A service
    // that does not start closes the link state, unless `keepSession` (a scan
    // adding connections beside the control connection it is using).
    IPhoneResult<std::shared_ptr<AFCConnection>> openAFCConnection(IPhone& phone, bool keepSession = false);
    // Phone queue: runs `body` against the phone's control connection, opening
    // it when needed; a failure that means the link dropped (unavailable: see
    // afcError) closes the link state and runs the body once more on a fresh
    // session.
    template <typename T>
    IPhoneResult<T> withControlConnection(IPhone& phone, const std::function<IPhoneResult<T>(AFCConnection&)>& body);
    // Phone queue: the phone's stat cache, created on first use.
    StatCache& statCache(IPhone& phone);

    // The provider's thread: a phone attached or detached.
    void deviceNotice(AMDeviceRef device, std::uint32_t kind);

private:
    void attach(const std::shared_ptr<IPhone>& phone, AMDeviceRef device, bool wifi, bool autoWifiSnapshot);
    void detach(const std::shared_ptr<IPhone>& phone, bool wifi);
    std::optional<std::string> readName(AMDeviceRef device);
    // Phone queue: waits up to `timeout` for any link.
    void waitForLink(IPhone& phone, std::chrono::milliseconds timeout);

    std::unique_ptr<MobileDevice> api_;
    MainLoop& loop_;
    std::shared_ptr<EventHandler> events_;
    Log& log_;
    const Clock& clock_;
    Options options_;

    std::atomic<bool> stopping_{false};
    Mutex lock_;
    std::map<std::string, std::shared_ptr<IPhone>> phones_ LUMIVANE_GUARDED_BY(lock_);
    bool autoWifi_ LUMIVANE_GUARDED_BY(lock_) = true;
    std::function<void(const std::string&)> arrival_;    // set before the notices start
    std::function<void(const std::string&)> departure_;  // set before the notices start
    Lifetime lifetime_;                                  // notices and queued work ask it; the last member
};

template <typename T>
IPhoneResult<T> PhoneLinks::withControlConnection(IPhone& phone,
                                                  const std::function<IPhoneResult<T>(AFCConnection&)>& body) {
    bool retried = false;
    for (;;) {
        if (!phone.control) {
            auto opened = openAFCConnection(phone);
            if (!opened.ok()) return opened.error();
            phone.control = opened.value();
        }
        auto control = phone.control;  // kept alive while the body runs
        auto result = body(*control);
        if (result.ok()) return result;
        bool linkDropped = result.error().code == Error::Code::unavailable;
        if (!linkDropped || retried) return result;
        closeLinkState(phone);
        retried = true;
    }
}

}  // namespace lumivane
