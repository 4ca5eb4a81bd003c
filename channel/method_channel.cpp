#include "channel/method_channel.h"

#include "runtime/long_task_guard.h"

namespace lumivane {

MethodChannel::MethodChannel(BinaryMessenger& messenger, std::string name, Log& log)
    : messenger_(messenger), name_(std::move(name)), log_(log) {}

MethodChannel::~MethodChannel() {
    if (installed_) messenger_.setMessageHandler(name_, nullptr);
}

void MethodChannel::setMethodCallHandler(MethodCallHandler handler) {
    installed_ = static_cast<bool>(handler);
    if (!handler) {
        messenger_.setMessageHandler(name_, nullptr);
        return;
    }
    messenger_.setMessageHandler(
        name_, [name = name_, &log = log_, handler = std::move(handler)](const Bytes& message, BinaryReply reply) {
            auto call = StandardMethodCodec::decodeMethodCall(message.data(), message.size());
            if (!call) {
                log.write("Lumivane: undecodable method call on " + name + ": " + call.error().message);
                reply(Bytes());
                return;
            }
            LongTaskGuard::note(name + " \"" + call->method + "\"");
            MethodResult result(call->method, std::move(reply), log);
            auto guard = result.guard();
            // No exception leaves a handler: the call is answered with an
            // error and the host goes on serving everyone else.
            try {
                handler(*call, std::move(result));
            } catch (const std::exception& e) {
                guard.failed(e.what());
            } catch (...) {
                guard.failed("unknown exception");
            }
        });
}

}  // namespace lumivane
