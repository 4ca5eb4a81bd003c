#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "bridges/common/bridge.h"
#include "bridges/common/event_handler.h"
#include "bridges/common/host_handler.h"
#include "bridges/common/pending_result.h"
#include "bridges/iphone/iphone.h"
#include "channel/arguments.h"
#include "platform/imaging.h"
#include "platform/mobile_device_loader.h"
#include "runtime/clock.h"
#include "runtime/concurrent_queue.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The iPhone bridge: follows phones as they attach and detach over USB and
// Wi-Fi, keeps their trust, name and Wi-Fi-sync state, opens the one lockdown
// session and AFC control connection per phone, and answers the "iphone."
// methods of the host channel.
//
// Threads: device notices arrive on the provider's thread; per-phone work runs
// on each phone's serial queue; transfers on the concurrent "transfers" queue;
// handle() and every answer and event on the main loop. Tasks on the phone
// queues and the transfers queue refer to the bridge itself; that is safe
// because only the main loop and the provider's notice thread queue work, and
// the destructor first stops the notices, then runs a closing task on each
// phone queue (after everything queued before it), while the transfers queue,
// the last member, drains while every other member still exists. `lock_` guards
// `phones`, `cancelled` and `autoWifi`; it is never held across an entry-point
// call or a wait.
class MobileDeviceBridge final : public Bridge, public HostHandler {
public:
    struct Options {
        std::chrono::milliseconds linkWait = std::chrono::seconds(25);
        std::chrono::seconds pairInterval = std::chrono::seconds(30);
        std::string dataFolder;            // the local data folder; the stat caches live under it
        std::size_t maxSizingWorkers = 8;  // AFC connections per scan at most
    };

    // `api` null: the framework is unavailable and every phone method fails.
    MobileDeviceBridge(std::unique_ptr<MobileDevice> api, MainLoop& loop, std::shared_ptr<EventHandler> events,
                       Log& log, const Clock& clock, Imaging& imaging, Options options);
    ~MobileDeviceBridge() override;

    // Start-up: subscribes to device notices (main thread, once).
    void subscribe();
    void start(BinaryMessenger&) override { subscribe(); }
    // Queued phone work is dropped, transfers and scans stop at their next
    // chunk or file, and link waits end now.
    void shutdown() override;
    // Any thread: whether the host is going.
    bool stopping() const { return stopping_; }
    HostHandler* hostHandler() override { return this; }
    bool available() const { return api_ != nullptr; }

    bool handle(const MethodCall& call, MethodResult& result) override;

    // ---- phones, links and sessions (each says where it runs) ----
    // Any thread.
    std::shared_ptr<IPhone> phone(const std::string& udid);
    // Main loop: the "iphone.list" summaries.
    EncodableList summaries();
    // Main loop.
    void setAutoWifi(bool on);
    // Phone queue.
    void refresh(IPhone& phone, bool wifiFlag);
    // Phone queue: waits up to `timeout` for any link.
    void waitForLink(IPhone& phone, std::chrono::milliseconds timeout);
    // Phone queue: the device handle with an open lockdown session.
    IPhoneResult<AMDeviceRef> openSession(IPhone& phone);
    // Phone queue: closes the control connection and the session.
    void closeLinkState(IPhone& phone);
    // Phone queue: a new AFC connection over the phone's session. A service
    // that does not start closes the link state, unless `keepSession` (a scan
    // adding connections beside the control connection it is using).
    IPhoneResult<std::shared_ptr<AFCConnection>> openAFCConnection(IPhone& phone, bool keepSession = false);

    // Phone queue: runs `body` against the phone's control connection, opening
    // it when needed; an AFC failure that means the link dropped (not connected,
    // timed out, too much data, a mux error) closes the link
    // state and runs the body once more on a fresh session.
    template <typename T>
    IPhoneResult<T> withControlConnection(IPhone& phone, const std::function<IPhoneResult<T>(AFCConnection&)>& body);

    // ---- services for the scan and transfers ----
    // Any thread: sends a host event from the main loop.
    void postEvent(EncodableMap event) { events_->post(std::move(event)); }
    const Clock& clock() const { return clock_; }
    Log& log() { return log_; }
    const std::string& dataFolder() const { return options_.dataFolder; }
    ConcurrentQueue& transfersQueue() { return transfers_; }
    std::size_t maxSizingWorkers() const { return options_.maxSizingWorkers; }
    // Phone queue: the phone's stat cache, created on first use.
    StatCache& statCache(IPhone& phone);
    // Any thread: whether `token` was cancelled; a cancel is consumed here.
    bool takeCancel(const std::string& token);

    // The text a failure shows the user.
    std::string errorText(const IPhoneError& error) const;
    const MobileDevice* api() const { return api_.get(); }

    // Notices from the provider (its thread).
    void deviceNotice(AMDeviceRef device, std::uint32_t kind);

private:
    struct NoticeTarget;
    void attach(const std::shared_ptr<IPhone>& phone, AMDeviceRef device, bool wifi, bool autoWifiSnapshot);
    void detach(const std::shared_ptr<IPhone>& phone, bool wifi);
    std::optional<std::string> readName(AMDeviceRef device);
    // The phone named by the call's "udid", or the failure text (in order:
    // no framework, no "udid", an unknown phone).
    IPhoneResult<std::shared_ptr<IPhone>> lookup(const Arguments& args);
    // Answers from the main loop: the value, or an "iphone" channel error.
    void answerLater(const PendingResult& result, IPhoneResult<EncodableValue> outcome);
    void queued(const MethodCall& call, MethodResult& result);

    std::unique_ptr<MobileDevice> api_;
    MainLoop& loop_;
    std::shared_ptr<EventHandler> events_;
    Log& log_;
    const Clock& clock_;
    Imaging& imaging_;
    Options options_;
    NoticeTarget* target_ = nullptr;  // handed to the provider; outlives the bridge

    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::map<std::string, std::shared_ptr<IPhone>> phones_;  // guarded by lock_
    std::set<std::string> cancelled_;                        // guarded by lock_
    bool autoWifi_ = true;                                   // guarded by lock_

    ConcurrentQueue transfers_{"lumivane.iphone.transfers"};
};

template <typename T>
IPhoneResult<T> MobileDeviceBridge::withControlConnection(IPhone& phone,
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
        auto code = afcCode(result.error());
        bool linkDropped = code == kAFCServiceNotConnected || code == kAFCOperationTimeout || code == kAFCTooMuchData ||
                           code == kAFCMuxError;
        if (!linkDropped || retried) return result;
        closeLinkState(phone);
        retried = true;
    }
}

}  // namespace lumivane
