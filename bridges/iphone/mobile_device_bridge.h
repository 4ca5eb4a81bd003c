#pragma once
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "bridges/common/bridge.h"
#include "bridges/common/event_handler.h"
#include "bridges/common/host_handler.h"
#include "bridges/common/pending_result.h"
#include "bridges/iphone/phone_context.h"
#include "bridges/iphone/phone_links.h"
#include "channel/arguments.h"
#include "platform/imaging.h"
#include "runtime/clock.h"
#include "runtime/concurrent_queue.h"
#include "runtime/lifetime.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "runtime/mutex.h"

namespace lumivane {

// The iPhone bridge: answers the "iphone." methods of the host channel over
// the phones its links follow. Each method is a row of its table; the ones
// that use a phone's control connection run through runOnPhone(), downloads
// through their own connection on the transfers queue.
//
// Threads: handle() and every answer and event on the main loop; work on a
// phone on that phone's serial queue; downloads and the scan's sizing
// workers on the concurrent "transfers" queue. `cancelLock_` guards
// `cancelled_`; it is never held across a call. Queued work refers to the
// bridge through `lifetime_`, its last member.
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
    void subscribe() { links_.subscribe(); }
    void start(BinaryMessenger&) override { subscribe(); }
    // Queued phone work is dropped, transfers and scans stop at their next
    // chunk or file, and link waits end now.
    void shutdown() override { links_.shutdown(); }
    HostHandler* hostHandler() override { return this; }
    bool available() const { return links_.api() != nullptr; }

    bool handle(const MethodCall& call, MethodResult& result) override;

    // The phones and the links to them.
    PhoneLinks& links() { return links_; }
    // What the phone's operations use of the host.
    PhoneContext& context() { return context_; }
    // Main loop, before start(): offers the phones as import sources ("iphone",
    // by UDID) and tells `sources` when a phone attaches.
    void offerImports(ImportSources& sources);
    // Any thread: whether `token` was cancelled; a cancel is consumed here.
    bool takeCancel(const std::string& token);

private:
    using Method = void (MobileDeviceBridge::*)(const Arguments&, MethodResult&);
    static const std::map<std::string, Method, std::less<>>& methods();

    void availability(const Arguments&, MethodResult& result);
    void setAutoWifi(const Arguments& args, MethodResult& result);
    void list(const Arguments&, MethodResult& result);
    void cancel(const Arguments& args, MethodResult& result);
    void children(const Arguments& args, MethodResult& result);
    void media(const Arguments& args, MethodResult& result);
    void photosIndex(const Arguments& args, MethodResult& result);
    void thumbnail(const Arguments& args, MethodResult& result);
    void download(const Arguments& args, MethodResult& result);

    // Main loop: runs `work(phone, control)` on the phone's queue against its
    // control connection and answers with its value or an "iphone" error;
    // queued work is dropped unanswered once the host is going.
    template <typename Work>
    void runOnPhone(const Arguments& args, MethodResult& result, Work work);
    // The phone named by the call's "udid", or the failure text (in order:
    // no framework, no "udid", an unknown phone).
    IPhoneResult<std::shared_ptr<IPhone>> lookup(const Arguments& args);
    // Answers from the main loop: the answer encoded where the work ran, or an
    // "iphone" channel error.
    void answerLater(const PendingResult& result, IPhoneResult<EncodedAnswer> outcome);

    MainLoop& loop_;
    Imaging& imaging_;
    PhoneLinks links_;
    Mutex cancelLock_;
    std::set<std::string> cancelled_ LUMIVANE_GUARDED_BY(cancelLock_);
    ConcurrentQueue transfers_{"lumivane.iphone.transfers"};
    PhoneContext context_;
    ImportSources::Registration offered_;  // phones as import sources, while this bridge lives
    Lifetime lifetime_;                    // queued work asks it; the last member
};

}  // namespace lumivane
