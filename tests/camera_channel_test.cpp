// Cameras through the host channel, driven by the simulated Mac's controls.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/host_harness.h"

using namespace lumivane;
namespace fs = std::filesystem;

TEST(CameraChannel, AddedDevicesAreListedAndBrowsedAndTheirChangesAnnounced) {
    HostHarness h;
    h.value("lumivane/macos/events", "listen");
    EXPECT_EQ(h.value("lumivane/macos", "camera.list"), EncodableValue(EncodableList{}));
    auto root = h.home / "card";
    fs::create_directories(root + "/DCIM/100CANON");
    std::ofstream(root + "/DCIM/100CANON/IMG_0001.JPG") << "jpeg";
    auto id = h.value("sim/control", "camera.add",
                      EncodableMap{{"name", "Card Reader"}, {"root", root}, {"transport", "ICTransportTypeUSB"}});
    ASSERT_TRUE(id.get<std::string>());  // a reader without a UUID: its hash
    // Ready once the device has read its catalogue, on its own queue.
    EncodableValue list;
    ASSERT_TRUE(h.loop.runUntil(
        [&] {
            list = h.value("lumivane/macos", "camera.list");
            auto* cameras = list.get<EncodableList>();
            return cameras && cameras->size() == 1 &&
                   *(*cameras)[0].get<EncodableMap>()->find("ready") == EncodableValue(true);
        },
        std::chrono::seconds(10)));
    ASSERT_EQ(list.get<EncodableList>()->size(), 1u);
    auto& reader = *(*list.get<EncodableList>())[0].get<EncodableMap>();
    EXPECT_EQ(*reader.find("id"), id);
    EXPECT_EQ(*reader.find("transport"), EncodableValue("usb"));
    EXPECT_EQ(*reader.find("ready"), EncodableValue(true));
    EXPECT_EQ(*reader.find("count"), EncodableValue(1));
    auto media = h.value("lumivane/macos", "camera.media", EncodableMap{{"id", id}});
    ASSERT_EQ(media.get<EncodableList>()->size(), 1u);
    int events = 0;
    for (auto& [channel, event] : h.events)
        if (std::get<EncodableValue>(event) == EncodableValue(EncodableMap{{"type", "cameras"}})) ++events;
    EXPECT_EQ(events, 3);  // added, session opened, ready
    EXPECT_EQ(h.value("sim/control", "camera.remove", EncodableMap{{"id", id}}), EncodableValue(true));
    h.loop.runUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(h.value("lumivane/macos", "camera.list"), EncodableValue(EncodableList{}));
}
