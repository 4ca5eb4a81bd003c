#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridges/common/bridge.h"
#include "channel/arguments.h"
#include "platform/sharing.h"
#include "runtime/lifetime.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// AirDrop: "airdrop.available" and "airdrop.send" on the host channel, and
// one "airdrop" outcome event per send on the host event stream. The
// sharing service's word that the items were shared is not taken alone:
// while the picker is open the bridge watches for evidence that the files
// were really taken (an access time moved past its baseline, or the sharing
// daemon holding one of them open, as the process tool tells), and a share
// without evidence is reported as the picker closed without a device. One
// send at a time.
//
// Threads: every field on the main loop only. The process tool runs on the
// "lumivane.airdrop" queue (made on first use) and its answer hops back;
// the destructor drains that queue.
class AirDropBridge final : public Bridge, public HostHandler, private SharingServiceDelegate {
public:
    static constexpr auto kTimerInterval = std::chrono::seconds(1);
    static constexpr auto kDelayedCheck = std::chrono::milliseconds(1500);
    static constexpr int kAccessSetBackSeconds = 2;
    static constexpr auto kSendLimit = std::chrono::minutes(10);  // a send the service never ends
    static constexpr const char* kDaemonLine = "csharingd";
    static constexpr const char* kPickerWindowClass = "SHKRemoteWindow";

    explicit AirDropBridge(const BridgeContext& context);
    ~AirDropBridge() override;

    void start(BinaryMessenger&) override {}
    HostHandler* hostHandler() override { return this; }
    bool handle(const MethodCall& call, MethodResult& result) override;

    // ---- the progress watcher ----
    // Each shared file's access time in seconds since 1970, or -1.0 when its
    // status cannot be read.
    std::vector<double> accessTimes() const;
    // Sets each readable file's access time to 2 s before its modification
    // time's whole second, then takes the baseline.
    void rebaseline();
    // Whether any file's access time is past its baseline.
    bool filesWereRead() const;
    // Whether the process tool's output says the sharing daemon holds a file.
    static bool daemonHoldsFiles(const std::string& toolOutput);
    const std::vector<double>& baseline() const { return baseline_; }
    bool sharingdSeen() const { return sharingdSeen_; }
    bool panelUp() const { return panelUp_; }
    bool sending() const { return service_ != nullptr; }

private:
    void available(const Arguments& args, MethodResult& result);
    void send(const Arguments& args, MethodResult& result);
    // A report from a service other than the send in progress (a late word
    // from an earlier send) is logged and ends nothing.
    void didShareItems(SharingService& service, const std::vector<std::string>& items) override;
    void didFailToShareItems(SharingService& service, const std::vector<std::string>& items,
                             const SharingError& error) override;
    AppWindow* sourceWindowForShareItems(SharingService& service, const std::vector<std::string>& items) override;
    void endSend(EncodableMap outcome);
    std::string elapsed() const;  // seconds since the send began, one decimal

    void startWatching();
    void stopWatching();
    void tick();
    void delayedCheck();
    void windowBecameKey(const std::string& className);

    Platform platform_;
    MainLoop& loop_;
    Log& log_;
    const Clock& clock_;
    std::shared_ptr<EventHandler> events_;

    std::shared_ptr<SharingService> service_;               // present exactly while a send is in progress
    std::vector<std::weak_ptr<SharingService>> delegated_;  // every service we are the delegate of
    std::optional<std::string> token_;
    std::vector<std::string> urls_, paths_;
    Clock::Steady started_;
    std::vector<double> baseline_;
    bool sharingdSeen_ = false;
    bool panelUp_ = false;
    MainLoop::TimerId watcher_ = 0;
    MainLoop::TimerId delayed_ = 0;
    std::optional<Sharing::ObserverId> observer_;
    std::uint64_t sendNumber_ = 0;  // which send a tool answer belongs to
    bool toolRunning_ = false;
    std::unique_ptr<SerialQueue> toolQueue_;
    Lifetime lifetime_;  // the tool and its answer ask it; the last member
};

}  // namespace lumivane
