#pragma once
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app/host.h"
#include "app/sim_control/sim_control.h"
#include "platform/sim/sim_mac.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "runtime/testing/build_paths.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {

// A started host over a fresh simulated Mac in a temporary home, driven in
// process through encoded channel messages, as the interface would.
struct HostHarness {
    explicit HostHarness(Host::Options options = {}, std::optional<std::string> bundle = "com.lumivane.app",
                         bool start = true)
        : mac(SimMac::Options{home.path(), bundle, simulatedProvider(), &log}, loop) {
        if (options.bridges.iphone.provider.empty()) options.bridges.iphone.provider = simulatedProvider();
        if (mac.phones().ready()) mac.phones().LVSimReset();  // the provider's phones are process-wide
        options_ = options;
        makeHost(std::move(options), start);
    }

    // The host goes (as a process that quits) and a new one starts over the
    // same simulated Mac and home.
    void restart() {
        control.reset();
        host.reset();
        events.clear();
        makeHost(options_, true);
    }

    // The simulated MobileDevice provider built with the tests.
    static std::string simulatedProvider() { return simulatedProviderPath(); }

    // Sends a call and runs the main loop until it is answered.
    MethodResponse call(const std::string& channel, const std::string& method,
                        const EncodableValue& arguments = EncodableValue()) {
        std::optional<Bytes> reply;
        host->messenger().deliver(channel, StandardMethodCodec::encodeMethodCall({method, arguments}),
                                  [&](Bytes bytes) { reply = std::move(bytes); });
        loop.runUntil([&] { return reply.has_value(); }, std::chrono::seconds(10));
        if (!reply) return MethodError{"test", "no answer", EncodableValue()};
        return *StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
    }
    EncodableValue value(const std::string& channel, const std::string& method,
                         const EncodableValue& arguments = EncodableValue()) {
        auto response = call(channel, method, arguments);
        auto* v = std::get_if<EncodableValue>(&response);
        return v ? *v : EncodableValue("<not a value>");
    }

    void makeHost(Host::Options options, bool start) {
        host = std::make_unique<Host>(mac.platform(), loop, log, std::move(options));
        control = std::make_unique<SimControl>(host->messenger(), log, mac, bridgeTable());
        host->messenger().setOutbound([this](const std::string& channel, Bytes message) {
            auto event = StandardMethodCodec::decodeEnvelope(message.data(), message.size());
            if (event) events.emplace_back(channel, *event);
        });
        if (start) host->start();
    }

    Host::Options options_;
    TempFolder home;
    Log log = Log::capturing();
    MainLoop loop;
    SimMac mac;
    std::unique_ptr<Host> host;
    std::unique_ptr<SimControl> control;  // as the host process installs it
    std::vector<std::pair<std::string, MethodResponse>> events;
};

}  // namespace lumivane
