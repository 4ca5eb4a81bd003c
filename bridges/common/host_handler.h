#pragma once
#include "channel/method_result.h"

namespace lumivane {

// A bridge's handler on the host channel. It either takes the call (answers it
// through `result`, now or later, and answers true) or declines it (leaves
// `result` alone and answers false). Main loop only.
class HostHandler {
public:
    virtual ~HostHandler() = default;
    virtual bool handle(const MethodCall& call, MethodResult& result) = 0;
};

}  // namespace lumivane
