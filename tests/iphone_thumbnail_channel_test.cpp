// "iphone.thumbnail" through the host channel, rendered by the host's real
// imaging from generated photos.
#include "tests/support/camera_roll_fixture.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;

TEST_F(CameraRoll, ThumbnailsAnswerJpegBytesOrNullAndAFailedReadAsAnError) {
    fs::create_directories(root() + "/DCIM/100APPLE");
    ASSERT_TRUE(samples::write(root() + "/DCIM/100APPLE/IMG_0001.JPG", {.width = 1000, .height = 750}));
    ASSERT_TRUE(samples::write(root() + "/DCIM/100APPLE/IMG_0002.HEIC",
                               {.format = samples::Format::heic, .width = 600, .height = 800, .orientation = 6}));
    file("100APPLE/IMG_0003.MOV", 100);
    attachPhone();

    struct Case {
        const char* name;
        EncodableMap args;
        int width, height;  // 0: null
    } cases[] = {
        {"without px, 256", {{"path", "100APPLE/IMG_0001.JPG"}}, 256, 192},
        {"px 64", {{"path", "100APPLE/IMG_0001.JPG"}, {"px", 64}}, 64, 48},
        {"turned", {{"path", "100APPLE/IMG_0002.HEIC"}, {"px", 100}}, 75, 100},
        {"a video", {{"path", "100APPLE/IMG_0003.MOV"}}, 0, 0},
        {"no path", {}, 0, 0},
        {"px 0", {{"path", "100APPLE/IMG_0001.JPG"}, {"px", 0}}, 0, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto response = call("iphone.thumbnail", c.args);
        auto* value = std::get_if<EncodableValue>(&response);
        ASSERT_TRUE(value);
        if (c.width == 0) {
            EXPECT_TRUE(value->isNull());
            continue;
        }
        auto* jpeg = value->get<Bytes>();
        ASSERT_TRUE(jpeg);
        auto seen = samples::look(*jpeg);
        EXPECT_EQ(seen.width, c.width);
        EXPECT_EQ(seen.height, c.height);
        EXPECT_TRUE(samples::isRed(seen.topLeft));
    }

    control("phone.fault", {{"op", "open"}, {"code", 10}, {"path", "/DCIM/100APPLE/IMG_0001.JPG"}});
    EXPECT_EQ(failure("iphone.thumbnail", {{"path", "100APPLE/IMG_0001.JPG"}}),
              "Permission denied: /DCIM/100APPLE/IMG_0001.JPG");
}
