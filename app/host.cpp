#include "app/host.h"

namespace lumivane {

Host::Host(MainLoop& loop, Log& log, Options options) : loop_(loop), log_(log), options_(options) {}

Host::~Host() = default;

void Host::start() {
    macosChannel_ = std::make_unique<MethodChannel>(messenger_, "lumivane/macos", log_);
    macosChannel_->setMethodCallHandler([](const MethodCall&, MethodResult result) { result.notImplemented(); });
    if (options_.simulated) simControl_ = std::make_unique<SimControl>(messenger_, log_);
}

}  // namespace lumivane
