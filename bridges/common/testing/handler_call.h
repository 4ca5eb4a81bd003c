#pragma once
// Calls a handler of the host channel as the dispatcher does, and answers its
// reply once it comes (running the loop for answers given later, at most 10 s).
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "bridges/common/host_handler.h"
#include "channel/method_result.h"
#include "channel/standard_codec.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"

namespace lumivane {

// NotImplemented when the handler does not take the method; a "test" error
// when no answer came.
inline MethodResponse callHandler(HostHandler& handler, MainLoop& loop, Log& log, const std::string& method,
                                  EncodableMap args = {}) {
    auto response = std::make_shared<std::optional<MethodResponse>>();  // outlives a late answer
    MethodResult result(
        method,
        [response](Bytes reply) {
            if (auto decoded = StandardMethodCodec::decodeEnvelope(reply.data(), reply.size()))
                *response = std::move(*decoded);
        },
        log);
    if (!handler.handle({method, std::move(args)}, result)) return NotImplemented{};
    loop.runUntil([&] { return response->has_value(); }, std::chrono::seconds(10));
    return response->value_or(MethodError{"test", "no answer", EncodableValue()});
}

}  // namespace lumivane
