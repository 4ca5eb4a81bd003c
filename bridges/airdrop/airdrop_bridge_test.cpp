#include "bridges/airdrop/airdrop_bridge.h"

#include <gtest/gtest.h>

#include "bridges/common/testing/handler_call.h"
#include "bridges/common/testing/sim_bridge_setup.h"
#include "platform/common/file_url.h"
#include "platform/testing/fake_sharing.h"

using namespace lumivane;

// What a send asks of the sharing service, and what it refuses before asking:
// only absolute paths, a service that is there and can send them, one send at
// a time. A refused send performs nothing.
TEST(AirDropBridge, ASendIsRefusedBeforeThePickerUnlessEveryPathAndTheServiceAllowIt) {
    SimBridgeSetup setup;
    auto& loop = setup.loop;
    auto& log = setup.log;
    auto events = std::make_shared<EventHandler>(loop);
    struct Case {
        const char* what;
        EncodableList paths;
        bool available, canPerform;
        std::string error;  // empty: the send starts
    };
    const Case cases[] = {
        {"no paths", {}, true, true, "args"},
        {"a relative path", {"/a.jpg", "b.jpg"}, true, true, "args"},
        {"an empty path", {""}, true, true, "args"},
        {"a path holding NUL", {std::string("/a\0b", 4)}, true, true, "args"},
        {"a path that is no text", {EncodableValue(7)}, true, true, "args"},
        {"no AirDrop on this machine", {"/a.jpg"}, false, true, "unavailable"},
        {"files it cannot send", {"/a.jpg"}, true, false, "cannot_send"},
        {"a send", {"/photos/a b.jpg", "/c.heic"}, true, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSharing sharing;
        sharing.available = c.available;
        sharing.service->canPerform = c.canPerform;
        AirDropBridge bridge(setup.context({.sharing = &sharing}, events));
        auto answer = callHandler(bridge, loop, log, "airdrop.send", {{"paths", c.paths}, {"token", "t1"}});
        if (!c.error.empty()) {
            ASSERT_TRUE(std::holds_alternative<MethodError>(answer));
            EXPECT_EQ(std::get<MethodError>(answer).code, c.error);
            EXPECT_TRUE(sharing.service->performed.empty());
            EXPECT_EQ(sharing.activations, 0);
            continue;
        }
        EXPECT_EQ(answer, MethodResponse(EncodableValue("t1")));
        ASSERT_EQ(sharing.service->performed.size(), 1u);
        EXPECT_EQ(sharing.service->performed[0],
                  (std::vector<std::string>{fileURL("/photos/a b.jpg"), fileURL("/c.heic")}));
        EXPECT_EQ(sharing.activations, 1);
        EXPECT_NE(sharing.service->delegate, nullptr);  // the outcome comes to the bridge
        // A second send while the picker is up is refused, and performs nothing.
        auto second = callHandler(bridge, loop, log, "airdrop.send", {{"paths", EncodableList{"/d.jpg"}}});
        ASSERT_TRUE(std::holds_alternative<MethodError>(second));
        EXPECT_EQ(std::get<MethodError>(second).code, "busy");
        EXPECT_EQ(sharing.service->performed.size(), 1u);
    }
}
