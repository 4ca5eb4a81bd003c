// Bonjour through the host channels, over the simulated Mac's local network.
#include <gtest/gtest.h>

#include "tests/support/host_harness.h"

using namespace lumivane;

namespace {

constexpr char kChannel[] = "lumivane/bonjour";
constexpr char kEvents[] = "lumivane/bonjour/events";

struct Bonjour : ::testing::Test {
    HostHarness h;

    EncodableValue control(const std::string& method, EncodableMap args = {}) {
        auto answer = h.call("sim/control", method, args);
        EXPECT_TRUE(std::holds_alternative<EncodableValue>(answer)) << method;
        return std::holds_alternative<EncodableValue>(answer) ? std::get<EncodableValue>(answer) : EncodableValue();
    }
    void peer(const std::string& name, EncodableList addresses, EncodableMap txt = {}, EncodableMap more = {}) {
        EncodableMap args{{"name", name}, {"port", 7000}, {"addresses", addresses}, {"txt", txt}};
        for (const auto& [key, value] : more) args.set(key, value);
        control("peer.add", args);
    }
    // The events sent since the last look, once the loop has settled.
    std::vector<EncodableMap> events() {
        h.loop.runUntil([] { return false; }, std::chrono::milliseconds(30));
        std::vector<EncodableMap> seen;
        for (auto& [channel, event] : h.events)
            if (channel == kEvents) seen.push_back(*std::get<EncodableValue>(event).get<EncodableMap>());
        h.events.clear();
        return seen;
    }
    EncodableValue published() { return *control("bonjour.published").get<EncodableMap>()->find("current"); }
    EncodableValue stopped() { return *control("bonjour.published").get<EncodableMap>()->find("stopped"); }
};

EncodableMap found(const std::string& name, const std::string& host, EncodableMap txt = {}) {
    return {{"event", "found"}, {"service", name}, {"host", host}, {"port", 7000}, {"txt", txt}};
}
EncodableMap lost(const std::string& name) { return {{"event", "lost"}, {"service", name}}; }

}  // namespace

TEST_F(Bonjour, OnePublicationAtATimeAndBadArgumentsChangeNothing) {
    EXPECT_EQ(published(), EncodableValue());
    EXPECT_EQ(h.value(kChannel, "publish", EncodableMap{{"name", "First"}, {"port", 4000}}), EncodableValue());
    EXPECT_EQ(published(), EncodableValue(EncodableMap{{"name", "First"},
                                                       {"type", "_lumivane._tcp."},
                                                       {"domain", "local."},
                                                       {"port", 4000},
                                                       {"txt", EncodableMap{}}}));
    h.value(kChannel, "publish",
            EncodableMap{{"name", "Second"}, {"port", std::int64_t(65535)}, {"txt", EncodableMap{{"v", "2"}}}});
    EXPECT_EQ(*published().get<EncodableMap>()->find("name"), EncodableValue("Second"));
    EXPECT_EQ(*published().get<EncodableMap>()->find("txt"), EncodableValue(EncodableMap{{"v", "2"}}));
    EXPECT_EQ(stopped(), EncodableValue(1));  // the first, before the second was made

    const EncodableMap bad[] = {
        {{"port", 4000}},
        {{"name", "Bad"}},
        {{"name", "Bad"}, {"port", "4000"}},
        {{"name", 7}, {"port", 4000}},
        {{"name", "Bad"}, {"port", 70000}},
        {{"name", "Bad"}, {"port", 65536}},
        {{"name", "Bad"}, {"port", std::int64_t(1) << 62}},
        {{"name", "Bad"}, {"port", -1}},
    };
    for (const auto& args : bad) {
        auto answer = h.call(kChannel, "publish", args);
        ASSERT_TRUE(std::holds_alternative<MethodError>(answer));
        EXPECT_EQ(std::get<MethodError>(answer).code, "args");
        EXPECT_EQ(std::get<MethodError>(answer).message, "name and port are required");
    }
    EXPECT_EQ(*published().get<EncodableMap>()->find("name"), EncodableValue("Second"));
    EXPECT_EQ(stopped(), EncodableValue(1));

    // A TXT map holding anything but strings publishes an empty record.
    h.value(kChannel, "publish", EncodableMap{{"name", ""}, {"port", 0}, {"txt", EncodableMap{{"n", 1}, {"s", "x"}}}});
    EXPECT_EQ(*published().get<EncodableMap>()->find("txt"), EncodableValue(EncodableMap{}));
    EXPECT_EQ(h.value(kChannel, "unpublish"), EncodableValue());
    EXPECT_EQ(h.value(kChannel, "unpublish"), EncodableValue());
    EXPECT_EQ(published(), EncodableValue());
    EXPECT_EQ(stopped(), EncodableValue(3));
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(h.call(kChannel, "browse")));
}

TEST_F(Bonjour, PeersAreReportedWithOneIPv4AddressWhileListenedTo) {
    peer("v6 only", {"fe80::1", "2001:db8::5"});
    peer("link-local first", {"169.254.10.20", "2001:db8::6", "192.168.1.5", "192.168.1.6"});
    peer("link-local only", {"169.254.10.20", "169.254.10.21"});
    peer("odd txt", {"10.0.0.9"}, {{"ok", "yes"}, {"bad", EncodableList{0xff, 0xfe}}, {"empty", ""}});
    EXPECT_TRUE(events().empty());  // nobody listens: no browse

    h.value(kEvents, "listen");
    auto seen = events();
    const std::vector<EncodableMap> everyPeer = {found("link-local first", "192.168.1.5"),
                                                 found("link-local only", "169.254.10.20"),
                                                 found("odd txt", "10.0.0.9", {{"empty", ""}, {"ok", "yes"}})};
    EXPECT_EQ(seen, everyPeer);

    control("peer.remove", {{"name", "v6 only"}});  // never found, still lost
    control("peer.remove", {{"name", "odd txt"}});
    EXPECT_EQ(events(), (std::vector<EncodableMap>{lost("v6 only"), lost("odd txt")}));

    control("peer.add", {{"name", "odd txt"}, {"port", 7000}, {"addresses", EncodableList{"10.0.0.9"}}});
    EXPECT_EQ(events(), (std::vector<EncodableMap>{found("odd txt", "10.0.0.9")}));
    h.value(kEvents, "cancel");
    EXPECT_TRUE(events().empty());  // no "lost" on cancel
    control("peer.remove", {{"name", "link-local only"}});
    EXPECT_TRUE(events().empty());
    h.value(kEvents, "listen");  // every peer afresh
    EXPECT_EQ(events(),
              (std::vector<EncodableMap>{found("link-local first", "192.168.1.5"), found("odd txt", "10.0.0.9")}));
}

TEST_F(Bonjour, TheOwnPublicationIsBrowsedLikeAnyPeer) {
    h.value(kEvents, "listen");
    h.value(kChannel, "publish",
            EncodableMap{{"name", "This Mac"}, {"port", 7000}, {"txt", EncodableMap{{"id", "1"}}}});
    EXPECT_EQ(events(), (std::vector<EncodableMap>{found("This Mac", SimNetServices::kOwnAddress, {{"id", "1"}})}));
    h.value(kChannel, "unpublish");
    EXPECT_EQ(events(), (std::vector<EncodableMap>{lost("This Mac")}));
}

TEST_F(Bonjour, FailuresAreLoggedWithTheErrorDictionaryAndSendNoEvent) {
    peer("unreachable", {"10.0.0.7"}, {}, {{"failResolve", -72007}});
    control("bonjour.failBrowse", {{"code", -72000}});
    h.value(kEvents, "listen");
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(
        h.log.contains("Lumivane: Bonjour browse failed: {\n    NSNetServicesErrorCode = \"-72000\";\n    "
                       "NSNetServicesErrorDomain = 10;\n}"));
    h.value(kEvents, "cancel");
    h.value(kEvents, "listen");
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(h.log.contains("Lumivane: could not resolve unreachable: {\n    NSNetServicesErrorCode = \"-72007\";"));
    control("peer.remove", {{"name", "unreachable"}});
    EXPECT_EQ(events(), (std::vector<EncodableMap>{lost("unreachable")}));  // still in the map

    control("bonjour.failPublish", {{"code", -72001}});
    h.value(kChannel, "publish", EncodableMap{{"name", "Clash"}, {"port", 1}});
    h.loop.runUntil([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_TRUE(h.log.contains("Lumivane: Bonjour publish failed: {\n    NSNetServicesErrorCode = \"-72001\";"));
    EXPECT_EQ(published(), EncodableValue());
}
