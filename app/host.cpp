#include "app/host.h"

#include <algorithm>

#include "app/legacy_data_move.h"
#include "app/plugins.h"
#include "runtime/main_loop.h"

namespace lumivane {

namespace {
constexpr double kDefaultSizeFactor = 0.95;
constexpr Size kDefaultSizeCap{1440, 920};
constexpr Size kDefaultSizeWithoutScreen{1368, 855};
}  // namespace

Host::Host(Platform platform, MainLoop& loop, Log& log, Options options, std::span<const BridgeRow> bridges)
    : platform_(std::move(platform)),
      loop_(loop),
      log_(log),
      options_(std::move(options)),
      table_(bridges),
      clock_(options_.clock ? *options_.clock : systemClock_),
      usbmux_(std::make_unique<UsbmuxClient>(
          UsbmuxClient::Options{UsbmuxClient::socketPath(platform_.environment, platform_.usbmuxSocket),
                                options_.usbmuxTimeout},
          clock_)),
      eventHandler_(std::make_shared<EventHandler>(loop)) {
    // Closing the last window quits the application.
    platform_.windows.setLastWindowClosedHandler([&loop] { loop.quit(); });
}

Host::~Host() {
    shutdown();
    // Later rows may use earlier ones (the import engine reads through the
    // device bridges' sources), so they go first.
    while (!bridges_.empty()) bridges_.pop_back();
}

void Host::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    for (auto& bridge : bridges_) bridge->shutdown();
}

void Host::trace(const std::string& step) {
    if (platform_.trace) platform_.trace(step);
}

void Host::start() {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    moveLegacyData(platform_.environment, platform_.defaults, log_);
    trace("legacy data move");

    AppWindow* window = platform_.windows.mainWindow();
    if (window) {
        // Installing the content must not resize the window.
        Rect frame = window->frame();
        window->setContentViewController();
        window->setFrame(frame, true, false);
        applyDefaultSize(*window);
        window->setContentMinSize(kMinimumContentSize);
        window->setRestorable(false);
        window->setFrameAutosaveName(kFrameAutosaveName);
    }
    registerPlugins(platform_.plugins);
    installHostChannels();
    startBridges();
}

void Host::applyDefaultSize(AppWindow& window) {
    auto screen = window.screenVisibleFrame();
    if (!screen) screen = platform_.windows.mainScreenVisibleFrame();
    Size size = kDefaultSizeWithoutScreen;
    if (screen) {
        size = {std::min(screen->width * kDefaultSizeFactor, kDefaultSizeCap.width),
                std::min(screen->height * kDefaultSizeFactor, kDefaultSizeCap.height)};
    }
    window.setContentSize(size);
    window.center();
}

std::string Host::localDataFolder() const {
    auto support = platform_.environment.applicationSupportDirectory();
    return support.value_or(platform_.environment.homeDirectory()) + "/" +
           platform_.environment.bundleIdentifier().value_or("Lumivane");
}

Bridge* Host::bridge(const std::string& name) {
    for (std::size_t i = 0; i < bridges_.size(); ++i)
        if (name == table_[i].name) return bridges_[i].get();
    return nullptr;
}

void Host::createBridges() {
    BridgeContext context{platform_, loop_, log_, clock_, eventHandler_, localDataFolder(), importSources_};
    for (const auto& row : table_) bridges_.push_back(row.make(context, options_.bridges));
}

void Host::startBridges() {
    for (std::size_t i = 0; i < bridges_.size(); ++i) {
        if (!table_[i].startTrace) continue;
        bridges_[i]->start(messenger_);
        trace(table_[i].startTrace);
    }
}

void Host::installHostChannels() {
    // The bridges exist from here on (their handlers are in the chain); they
    // start once the host channels are there.
    createBridges();
    systemBridge_ = std::make_unique<MacSystemBridge>(platform_, loop_,
                                                      [client = usbmux_.get()] { return client->listAppleDevices(); });
    std::vector<HostHandler*> chain;
    for (std::size_t i = 0; i < bridges_.size(); ++i)
        if (table_[i].onHostChannel && bridges_[i]->hostHandler()) chain.push_back(bridges_[i]->hostHandler());
    systemBridge_->setHandlerChain(std::move(chain));
    macosChannel_ = std::make_unique<MethodChannel>(messenger_, "lumivane/macos", log_);
    macosChannel_->setMethodCallHandler([bridge = systemBridge_.get()](const MethodCall& call, MethodResult result) {
        bridge->handle(call, std::move(result));
    });
    trace("channel lumivane/macos");

    eventsChannel_ = std::make_unique<EventChannel>(messenger_, "lumivane/macos/events", log_);
    eventsChannel_->setStreamHandler(eventHandler_);
    trace("channel lumivane/macos/events");
}

}  // namespace lumivane
