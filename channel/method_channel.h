#pragma once
#include <functional>
#include <string>

#include "channel/binary_messenger.h"
#include "channel/method_result.h"
#include "runtime/log.h"

namespace lumivane {

using MethodCallHandler = std::function<void(const MethodCall& call, MethodResult result)>;

// A named method channel with the standard method codec. The handler is called
// on the main loop. A message that does not decode as a method call gets an
// empty reply and one log line; a handler that throws has its call answered
// with an "internal_error" and one log line. The messenger must outlive the channel; a
// channel that goes takes its handler with it. Main loop only.
class MethodChannel {
public:
    MethodChannel(BinaryMessenger& messenger, std::string name, Log& log);
    ~MethodChannel();
    MethodChannel(const MethodChannel&) = delete;
    MethodChannel& operator=(const MethodChannel&) = delete;
    void setMethodCallHandler(MethodCallHandler handler);
    const std::string& name() const { return name_; }

private:
    BinaryMessenger& messenger_;
    std::string name_;
    Log& log_;
    bool installed_ = false;
};

}  // namespace lumivane
