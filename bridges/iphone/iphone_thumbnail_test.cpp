#include "bridges/iphone/iphone_thumbnail.h"

#include "bridges/iphone/iphone_bridge_fixture.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;

namespace {

using samples::Format;

class IPhoneThumbnailTest : public IPhoneBridgeTest {
protected:
    void SetUp() override {
        IPhoneBridgeTest::SetUp();
        udid = addPhone("");
        attach(udid, kAMDInterfaceUSB);
    }
    std::string photo(const std::string& name) { return folder / udid + "/DCIM/100APPLE/" + name; }
    // The folder of the phone's own renderings of one photo.
    std::string renderings(const std::string& name) {
        auto path = folder / udid + "/PhotoData/Thumbnails/V2/DCIM/100APPLE/" + name;
        fs::create_directories(path);
        return path;
    }
    IPhoneResult<std::optional<Bytes>> thumbnail(const std::string& name, int px = 256) {
        std::optional<IPhoneResult<std::optional<Bytes>>> outcome;
        onPhone(udid, [&](IPhone& phone) {
            outcome.emplace(
                bridge->links().withControlConnection<std::optional<Bytes>>(phone, [&](AFCConnection& control) {
                    return IPhoneThumbnail(*bridge->links().api(), control, imaging).render("100APPLE/" + name, px);
                }));
        });
        return std::move(*outcome);
    }
    static samples::Seen seen(const IPhoneResult<std::optional<Bytes>>& outcome) {
        if (!outcome.ok() || !outcome.value()) return {};
        return samples::look(*outcome.value());
    }

    std::string udid;
};

}  // namespace

TEST_F(IPhoneThumbnailTest, ThePhonesOwnRenderingComesFirstAndThePhotoIsReadOnlyWithoutOne) {
    ASSERT_TRUE(samples::write(photo("IMG_0001.HEIC"), {.format = Format::heic, .orientation = 6}));
    // The phone's renderings differ in size, so the one used shows.
    ASSERT_TRUE(samples::write(renderings("IMG_0001.HEIC") + "/5003.JPG", {.width = 200, .height = 150}));
    ASSERT_TRUE(samples::write(renderings("IMG_0001.HEIC") + "/5005.JPG", {.width = 160, .height = 120}));
    ASSERT_TRUE(samples::write(photo("IMG_0002.JPG"), {.orientation = 8}));
    std::ofstream(renderings("IMG_0002.JPG") + "/notes.txt") << "not a picture";
    ASSERT_TRUE(samples::write(photo("IMG_0003.JPG"), {}));
    ASSERT_TRUE(samples::write(renderings("IMG_0003.JPG") + "/4001.jpg", {.width = 120, .height = 90}));

    struct Case {
        const char* name;
        int px;
        int width, height;
        std::uint64_t opens;
    } cases[] = {
        {"IMG_0001.HEIC", 256, 160, 120, 1},  // "5005.JPG", never enlarged
        {"IMG_0001.HEIC", 100, 100, 75, 1},
        {"IMG_0002.JPG", 256, 256, 192, 1},  // no JPEG among the renderings: the photo, upright
        {"IMG_0003.JPG", 256, 120, 90, 1},   // the first JPEG, whatever its case
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.px));
        auto opens = calls(udid, "open");
        auto out = seen(thumbnail(c.name, c.px));
        EXPECT_EQ(out.width, c.width);
        EXPECT_EQ(out.height, c.height);
        EXPECT_TRUE(samples::isRed(out.topLeft));
        EXPECT_FALSE(samples::isRed(out.bottomRight));
        EXPECT_EQ(calls(udid, "open") - opens, c.opens);
    }
}

TEST_F(IPhoneThumbnailTest, WhatCannotBeShownIsNullAndOnlyAFailingPhotoReadIsAnError) {
    std::string large(30 << 20, 'd');
    std::ofstream(photo("IMG_0004.DNG"), std::ios::binary) << large;
    std::ofstream(photo("IMG_0005.MOV"), std::ios::binary) << "a video";
    std::vector<char> noise(50'000);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = char(i * 7919 % 251);
    std::ofstream(photo("IMG_0006.JPG"), std::ios::binary).write(noise.data(), std::streamsize(noise.size()));
    ASSERT_TRUE(samples::write(photo("IMG_0007.JPG"), {}));
    std::ofstream(renderings("IMG_0007.JPG") + "/5005.JPG") << "a damaged rendering";
    ASSERT_TRUE(samples::write(photo("IMG_0008.JPG"), {}));
    std::ofstream(renderings("IMG_0008.JPG") + "/5005.JPG", std::ios::binary) << std::string((4 << 20) + 1, 'x');
    ASSERT_TRUE(samples::write(photo("IMG_0009.PNG"), {.format = Format::png}));
    ASSERT_TRUE(samples::write(renderings("IMG_0009.PNG") + "/5005.JPG", {}));
    // A photo between the rendering's 4 MiB and the photo's 24 MiB, with no
    // rendering: read and scaled (what follows a JPEG's end is never looked at).
    ASSERT_TRUE(samples::write(photo("IMG_0010.JPG"), {}));
    std::ofstream(photo("IMG_0010.JPG"), std::ios::binary | std::ios::app) << std::string(6 << 20, '\0');

    struct Case {
        const char* name;
        std::function<void()> fault;
        bool rendered;
        std::uint64_t opens;
    } cases[] = {
        {"IMG_0004.DNG", nullptr, false, 1},  // over 24 MiB: null
        {"IMG_0005.MOV", nullptr, false, 0},  // videos are never read
        {"IMG_0006.JPG", nullptr, false, 1},  // not a picture: null, not an error
        {"IMG_0007.JPG", nullptr, false, 1},  // the phone's rendering is the answer, even when it is nothing
        {"IMG_0008.JPG", nullptr, true, 2},   // a rendering over 4 MiB counts as absent
        {"IMG_0009.PNG",
         [&] {
             sim.LVSimAddFault(udid.c_str(), "open", kAFCPermissionDenied, 0,
                               "/PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0009.PNG/5005.JPG", 0);
         },
         true, 2},                           // an unreadable rendering falls back to the photo
        {"IMG_0010.JPG", nullptr, true, 1},  // 6 MiB without a rendering: the photo itself
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault) c.fault();
        auto opens = calls(udid, "open");
        auto out = thumbnail(c.name);
        ASSERT_TRUE(out.ok()) << out.error().message;
        EXPECT_EQ(out.value().has_value(), c.rendered);
        EXPECT_EQ(calls(udid, "open") - opens, c.opens);
    }

    ASSERT_TRUE(samples::write(photo("IMG_0002.JPG"), {}));
    sim.LVSimAddFault(udid.c_str(), "open", kAFCPermissionDenied, 0, "/DCIM/100APPLE/IMG_0002.JPG", 0);
    auto failed = thumbnail("IMG_0002.JPG");
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().code, Error::Code::noPermission);
}
