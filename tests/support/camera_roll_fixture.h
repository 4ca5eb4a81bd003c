#pragma once
// A host on the simulated Mac with one phone ("PHONE") whose camera roll is a
// folder of the test's, driven through the host channel.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

#include "tests/support/host_harness.h"

namespace lumivane {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct CameraRoll : ::testing::Test {
    std::unique_ptr<HostHarness> h;
    std::string udid = "PHONE";

    void SetUp() override { start({}); }
    void start(Host::Options options) {
        options.bridges.iphone.bridge.linkWait = 300ms;
        h = std::make_unique<HostHarness>(options);
        ASSERT_TRUE(h->mac.phones().ready());
        h->value("lumivane/macos/events", "listen");
    }
    std::string root() { return h->home / "phone"; }
    void file(const std::string& relative, std::size_t size) {
        auto path = root() + "/DCIM/" + relative;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    }
    void control(const std::string& method, EncodableMap args) {
        args.set("udid", udid);
        auto response = h->call("sim/control", method, args);
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(response)) << method;
    }
    void attachPhone() {
        fs::create_directories(root() + "/DCIM");
        control("phone.add", {{"name", "Ada's iPhone"}, {"root", root()}});
        control("phone.attach", {{"link", "usb"}});
        // Listed with its name: the attach's refresh has run.
        ASSERT_TRUE(h->loop.runUntil(
            [&] {
                auto listed = h->value("lumivane/macos", "iphone.list");
                auto* phones = listed.get<EncodableList>();
                return phones && !phones->empty() && (*phones)[0].get<EncodableMap>()->find("name");
            },
            5s));
    }
    MethodResponse call(const std::string& method, EncodableMap args = {}) {
        if (!args.find("udid")) args.set("udid", udid);
        return h->call("lumivane/macos", method, args);
    }
    EncodableList list(const std::string& method, EncodableMap args = {}) {
        auto response = call(method, std::move(args));
        if (auto* error = std::get_if<MethodError>(&response)) ADD_FAILURE() << error->message.value_or("");
        auto* value = std::get_if<EncodableValue>(&response);
        return value && value->get<EncodableList>() ? *value->get<EncodableList>() : EncodableList{};
    }
    std::string failure(const std::string& method, EncodableMap args = {}) {
        auto response = call(method, std::move(args));
        auto* error = std::get_if<MethodError>(&response);
        if (!error) return "<no error>";
        EXPECT_EQ(error->code, "iphone");
        return error->message.value_or("");
    }
    std::uint64_t calls(const char* op) { return h->mac.phones().LVSimCallCount(udid.c_str(), op); }
    std::vector<EncodableMap> events(const std::string& type) {
        std::vector<EncodableMap> out;
        for (auto& [channel, event] : h->events) {
            auto* map = std::get<EncodableValue>(event).get<EncodableMap>();
            if (map && *map->find("type") == EncodableValue(type)) out.push_back(*map);
        }
        return out;
    }
    std::vector<std::string> paths(const EncodableList& entries) {
        std::vector<std::string> out;
        for (auto& e : entries) out.push_back(*e.get<EncodableMap>()->find("path")->get<std::string>());
        return out;
    }
    // Runs the main loop briefly so posted events arrive.
    void settle() {
        h->loop.runUntil([] { return false; }, 50ms);
    }
};

}  // namespace lumivane
