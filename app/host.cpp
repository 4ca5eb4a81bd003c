#include "app/host.h"

#include <algorithm>

#include "app/legacy_data_move.h"
#include "app/plugins.h"

namespace lumivane {

namespace {
constexpr double kDefaultSizeFactor = 0.95;
constexpr Size kDefaultSizeCap{1440, 920};
constexpr Size kDefaultSizeWithoutScreen{1368, 855};
}  // namespace

Host::Host(Platform platform, MainLoop& loop, Log& log, Options options)
    : platform_(std::move(platform)),
      loop_(loop),
      log_(log),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : systemClock_),
      usbmux_(std::make_unique<UsbmuxClient>(
          UsbmuxClient::Options{UsbmuxClient::socketPath(platform_.environment, platform_.usbmuxSocket),
                                options_.usbmuxTimeout},
          clock_)),
      eventHandler_(std::make_shared<EventHandler>(loop)) {
    if (options_.simulated) simControl_ = std::make_unique<SimControl>(messenger_, log_);
    // Closing the last window quits the application.
    platform_.windows.setLastWindowClosedHandler([&loop] { loop.quit(); });
}

Host::~Host() = default;

void Host::trace(const std::string& step) {
    if (platform_.trace) platform_.trace(step);
}

void Host::start() {
    moveLegacyData(platform_.environment, platform_.defaults);
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
    installBonjourChannels();
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

void Host::startPhoneSubscription() {
    iphone_->subscribe();
    trace("phone subscription");
}

void Host::installHostChannels() {
    // The iPhone bridge exists from here on (its handler is in the chain); its
    // device subscription starts in its place below.
    auto api = options_.mobileDeviceProvider.empty() ? nullptr
                                                     : MobileDevice::open(options_.mobileDeviceProvider, log_);
    MobileDeviceBridge::Options iphoneOptions;
    iphoneOptions.linkWait = options_.linkWait;
    iphoneOptions.dataFolder = localDataFolder();
    iphone_ = std::make_unique<MobileDeviceBridge>(std::move(api), loop_, eventHandler_, log_, clock_, iphoneOptions);
    systemBridge_ = std::make_unique<MacSystemBridge>(platform_, loop_,
                                                      [client = usbmux_.get()] { return client->listAppleDevices(); });
    // camera, files and volumes, iPhone, AirDrop: only the iPhone bridge is part of this build.
    systemBridge_->setHandlerChain({nullptr, nullptr, iphone_.get(), nullptr});
    macosChannel_ = std::make_unique<MethodChannel>(messenger_, "lumivane/macos", log_);
    macosChannel_->setMethodCallHandler(
        [bridge = systemBridge_.get()](const MethodCall& call, MethodResult result) {
            bridge->handle(call, std::move(result));
        });
    trace("channel lumivane/macos");

    eventsChannel_ = std::make_unique<EventChannel>(messenger_, "lumivane/macos/events", log_);
    eventsChannel_->setStreamHandler(eventHandler_);
    trace("channel lumivane/macos/events");

    startCameraDiscovery();
    startVolumeWatch();
    startPhoneSubscription();

    // The library bridge is not part of this build: its channel answers every
    // method "not implemented".
    libraryChannel_ = std::make_unique<MethodChannel>(messenger_, "lumivane/library", log_);
    libraryChannel_->setMethodCallHandler([](const MethodCall&, MethodResult result) { result.notImplemented(); });
    trace("channel lumivane/library");
}

}  // namespace lumivane
