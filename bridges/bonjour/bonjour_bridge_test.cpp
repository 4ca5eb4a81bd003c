#include "bridges/bonjour/bonjour_bridge.h"

#include <gtest/gtest.h>

#include "bridges/common/testing/sim_bridge_setup.h"
#include "platform/testing/fake_net_services.h"

using namespace lumivane;

TEST(BonjourBridge, OnePublicationAtATimeAndABadRequestChangesNothing) {
    SimBridgeSetup setup;
    auto& log = setup.log;
    FakeNetServices net;
    BonjourBridge bridge(setup.context({.netServices = &net}));
    auto call = [&](const std::string& method, EncodableMap args) {
        std::optional<MethodResponse> response;
        MethodResult result(
            method,
            [&](Bytes reply) {
                if (auto decoded = StandardMethodCodec::decodeEnvelope(reply.data(), reply.size()))
                    response = std::move(*decoded);
            },
            log);
        bridge.handle({method, std::move(args)}, std::move(result));
        return response.value_or(MethodError{"test", "no answer", EncodableValue()});
    };
    struct Step {
        const char* what;
        const char* method;
        EncodableMap args;
        bool ok;
        std::size_t made;                     // services made so far
        std::vector<int> stopped, published;  // per service made
    };
    const Step steps[] = {
        {"publish", "publish", {{"name", "A"}, {"port", 8080}, {"txt", EncodableMap{{"v", "1"}}}}, true, 1, {0}, {1}},
        {"a second replaces the first", "publish", {{"name", "B"}, {"port", 0}}, true, 2, {1, 0}, {1, 1}},
        {"a port below 0 is refused", "publish", {{"name", "C"}, {"port", -1}}, false, 2, {1, 0}, {1, 1}},
        {"a port above 65535 is refused", "publish", {{"name", "C"}, {"port", 65536}}, false, 2, {1, 0}, {1, 1}},
        {"no name is refused", "publish", {{"port", 80}}, false, 2, {1, 0}, {1, 1}},
        {"the highest port", "publish", {{"name", "D"}, {"port", 65535}}, true, 3, {1, 1, 0}, {1, 1, 1}},
        {"unpublish", "unpublish", {}, true, 3, {1, 1, 1}, {1, 1, 1}},
        {"unpublish again: nothing to stop", "unpublish", {}, true, 3, {1, 1, 1}, {1, 1, 1}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        auto response = call(step.method, step.args);
        if (step.ok)
            EXPECT_EQ(response, MethodResponse(EncodableValue()));
        else
            EXPECT_EQ(std::get<MethodError>(response).code, "args");
        ASSERT_EQ(net.services.size(), step.made);
        for (std::size_t i = 0; i < step.made; ++i) {
            EXPECT_EQ(net.services[i]->stopped, step.stopped[i]) << "service " << i;
            EXPECT_EQ(net.services[i]->published, step.published[i]) << "service " << i;
            // A service that ended reports to nobody.
            if (step.stopped[i]) EXPECT_EQ(net.services[i]->delegate(), nullptr) << "service " << i;
        }
    }
    EXPECT_EQ(net.services[0]->name(), "A");
    EXPECT_EQ(net.services[0]->port(), 8080);
    auto txt = net.services[0]->txtRecordData();
    EXPECT_EQ(std::string(txt.begin(), txt.end()), std::string("\x03v=1", 4));
}
