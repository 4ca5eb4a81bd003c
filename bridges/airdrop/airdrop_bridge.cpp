#include "bridges/airdrop/airdrop_bridge.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <random>

#include "bridges/common/method_table.h"
#include "platform/common/file_url.h"
#include "platform/common/process_runner.h"

namespace lumivane {

namespace {

constexpr std::int64_t kUserCancelledError = 3072;
constexpr char kCocoaErrorDomain[] = "NSCocoaErrorDomain";

// A new random UUID in its standard text form, upper case.
std::string uuidText() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::uint64_t high = random(), low = random();
    high = (high & ~0xF000ULL) | 0x4000ULL;                       // version 4
    low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // the RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32), unsigned(high >> 16 & 0xFFFF),
                  unsigned(high & 0xFFFF), unsigned(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

}  // namespace

AirDropBridge::AirDropBridge(const BridgeContext& context)
    : platform_(context.platform),
      loop_(context.loop),
      log_(context.log),
      clock_(context.clock),
      events_(context.events),
      started_(context.clock.steadyNow()) {}

AirDropBridge::~AirDropBridge() {
    stopWatching();
    if (delayed_) loop_.cancelTimer(delayed_);
    for (auto& weak : delegated_)
        if (auto service = weak.lock()) service->setDelegate(nullptr);
}  // then the lifetime ends (a tool in flight finishes first, its answer finds the bridge gone)

bool AirDropBridge::handle(const MethodCall& call, MethodResult& result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    static const MethodTable<AirDropBridge> table{
        {"airdrop.available", &AirDropBridge::available},
        {"airdrop.send", &AirDropBridge::send},
    };
    return table.dispatch(*this, call, result);
}

void AirDropBridge::available(const Arguments&, MethodResult& result) {
    result.success(platform_.sharing.serviceNamed(Sharing::kSendViaAirDrop) != nullptr);
}

void AirDropBridge::send(const Arguments& args, MethodResult& result) {
    const auto* list = args.list("paths");
    std::vector<std::string> paths;
    if (list)
        for (const auto& value : *list) {
            const auto* path = value.get<std::string>();
            // Only an absolute path names one file whatever the host's folder
            // is; anything else is no path to send.
            if (!path || path->empty() || path->front() != '/' || path->find('\0') != std::string::npos) {
                paths.clear();
                break;
            }
            paths.push_back(*path);
        }
    if (paths.empty()) return result.error("args", "paths are required");
    auto token = args.string("token").value_or(uuidText());
    std::vector<std::string> urls;
    for (const auto& path : paths) urls.push_back(fileURL(path));
    if (service_) return result.error("busy", "An AirDrop send is already in progress");
    auto service = platform_.sharing.serviceNamed(Sharing::kSendViaAirDrop);
    if (!service) return result.error("unavailable", "AirDrop isn\u2019t available on this Mac");
    if (!service->canPerformWithItems(urls)) return result.error("cannot_send", "AirDrop can\u2019t send these files");

    service->setDelegate(this);
    std::erase_if(delegated_, [](const auto& weak) { return weak.expired(); });
    delegated_.push_back(service);
    service_ = service;
    token_ = token;
    urls_ = std::move(urls);
    paths_ = std::move(paths);
    started_ = clock_.steadyNow();
    ++sendNumber_;
    startWatching();
    log_.write("Lumivane AirDrop: perform with " + std::to_string(urls_.size()) + " file(s)");
    platform_.sharing.activateIgnoringOtherApps();
    service->performWithItems(urls_);
    result.success(token);
}

std::string AirDropBridge::elapsed() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(clock_.steadyNow() - started_).count());
    return text;
}

void AirDropBridge::didShareItems(SharingService& service, const std::vector<std::string>& items) {
    bool read = filesWereRead();
    bool delivered = read || sharingdSeen_;
    log_.write("Lumivane AirDrop: didShareItems " + std::to_string(items.size()) + " at " + elapsed() +
               "s: read=" + (read ? "true" : "false") + " sharingd=" + (sharingdSeen_ ? "true" : "false") + " \u2192 " +
               (delivered ? "sent" : "cancelled"));
    if (&service != service_.get()) return;  // a late word from an earlier send: logged only
    if (delivered)
        endSend({{"ok", true}, {"count", std::int64_t(items.size())}});
    else
        endSend({{"ok", false}, {"cancelled", true}, {"error", "Closed without picking a device"}});
}

void AirDropBridge::didFailToShareItems(SharingService& service, const std::vector<std::string>&,
                                        const SharingError& error) {
    bool cancelled = error.domain == kCocoaErrorDomain && error.code == kUserCancelledError;
    log_.write(std::string("Lumivane AirDrop: ") + (cancelled ? "cancelled" : "failed") + " at " + elapsed() +
               "s \u2014 " + error.domain + " " + std::to_string(error.code) + " " + error.localizedDescription);
    if (&service != service_.get()) return;  // a late word from an earlier send: logged only
    endSend({{"ok", false}, {"cancelled", cancelled}, {"error", error.localizedDescription}});
}

AppWindow* AirDropBridge::sourceWindowForShareItems(SharingService&, const std::vector<std::string>&) {
    return platform_.windows.mainWindow();
}

void AirDropBridge::endSend(EncodableMap outcome) {
    if (!token_) return;  // a second outcome for a send that has ended: logged only
    EncodableMap event{{"type", "airdrop"}, {"token", *token_}};
    for (const auto& [key, value] : outcome) event.set(key, value);
    token_.reset();
    service_.reset();  // it stays our delegate's: a late word is still logged
    urls_.clear();
    paths_.clear();
    stopWatching();
    events_->send(event);
}

// ---- the progress watcher ----

std::vector<double> AirDropBridge::accessTimes() const {
    std::vector<double> times;
    for (const auto& path : paths_) {
        struct stat status {};
        times.push_back(::stat(path.c_str(), &status) == 0
                            ? double(status.st_atim.tv_sec) + double(status.st_atim.tv_nsec) / 1e9
                            : -1.0);
    }
    return times;
}

void AirDropBridge::rebaseline() {
    for (const auto& path : paths_) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) continue;
        timeval times[2] = {{status.st_mtim.tv_sec - kAccessSetBackSeconds, 0},
                            {status.st_mtim.tv_sec, status.st_mtim.tv_nsec / 1000}};
        ::utimes(path.c_str(), times);  // a file that refuses keeps its times
    }
    baseline_ = accessTimes();
}

bool AirDropBridge::filesWereRead() const {
    auto now = accessTimes();
    for (std::size_t i = 0; i < std::min(now.size(), baseline_.size()); ++i)
        if (now[i] > baseline_[i]) return true;
    return false;
}

bool AirDropBridge::daemonHoldsFiles(const std::string& toolOutput) {
    std::size_t at = 0;
    while (at <= toolOutput.size()) {
        auto end = toolOutput.find('\n', at);
        if (end == std::string::npos) end = toolOutput.size();
        if (toolOutput.compare(at, end - at, kDaemonLine) == 0) return true;
        at = end + 1;
    }
    return false;
}

void AirDropBridge::startWatching() {
    baseline_.clear();
    sharingdSeen_ = false;
    panelUp_ = false;
    rebaseline();
    observer_ = platform_.sharing.addWindowDidBecomeKeyObserver(
        [this](const std::string& className) { windowBecameKey(className); });
    // The delayed check outlives its send; it acts only while one is in progress.
    if (delayed_) loop_.cancelTimer(delayed_);
    delayed_ = loop_.addTimer(kDelayedCheck, [this] {
        delayed_ = 0;
        delayedCheck();
    });
    watcher_ = loop_.addTimer(
        kTimerInterval, [this] { tick(); }, kTimerInterval);
}

void AirDropBridge::stopWatching() {
    if (watcher_) loop_.cancelTimer(watcher_);
    watcher_ = 0;
    if (observer_) platform_.sharing.removeObserver(*observer_);
    observer_.reset();
}

void AirDropBridge::windowBecameKey(const std::string& className) {
    if (!service_ || className != kPickerWindowClass) return;
    panelUp_ = true;
    rebaseline();
}

void AirDropBridge::delayedCheck() {
    if (!service_ || sharingdSeen_) return;
    if (!(filesWereRead() && panelUp_)) rebaseline();
}

void AirDropBridge::tick() {
    if (!service_) return;
    if (clock_.steadyNow() - started_ >= kSendLimit) {
        log_.write("Lumivane AirDrop: no outcome at " + elapsed() + "s \u2192 timed out");
        endSend({{"ok", false}, {"cancelled", false}, {"error", "AirDrop didn\u2019t finish in time"}});
        return;
    }
    if (sharingdSeen_ || toolRunning_) return;
    // The tool scans every process of the machine: it runs off the main loop,
    // and its answer counts only for the send that asked.
    toolRunning_ = true;
    // "--": a file named like an option ("+D/", say) is still a file.
    std::vector<std::string> arguments{"-Fc", "--"};
    arguments.insert(arguments.end(), paths_.begin(), paths_.end());
    if (!toolQueue_) toolQueue_ = std::make_unique<SerialQueue>("lumivane.airdrop");
    toolQueue_->post(lifetime_.guard([this, arguments = std::move(arguments), send = sendNumber_] {
        auto output = ProcessRunner::run(platform_.processTool, arguments);
        bool held = output && daemonHoldsFiles(output.value());
        loop_.post(lifetime_.guard([this, held, send] {
            toolRunning_ = false;
            if (held && service_ && send == sendNumber_) sharingdSeen_ = true;
        }));
    }));
}

}  // namespace lumivane
