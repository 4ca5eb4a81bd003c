#include "platform/ffmpeg/ffmpeg_video_frames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/vips/vips_imaging.h"
#include "runtime/testing/temp_folder.h"
#include "tools/sample_images/sample_videos.h"

namespace lumivane {
namespace {

TEST(FfmpegVideoFrames, FramesComeUprightWithinTheBoundOrNotAtAll) {
    TempFolder folder;
    VipsImaging imaging;
    FfmpegVideoFrames frames(imaging);
    struct Case {
        const char* name;
        VideoSpec video;
        double seconds;
        int px;
        int width, height;  // 0: no frame
    } cases[] = {
        {"clip.mp4", {}, 0.5, 256, 256, 192},
        {"clip.MOV", {.codec = "libx265"}, 0.5, 100, 100, 75},
        {"turned.mov", {.turned = true}, 0.5, 256, 256, 192},
        {"short.mp4", {.seconds = 0.2}, 0.5, 256, 256, 192},               // the nearest frame: its last
        {"small.mp4", {.width = 160, .height = 120}, 0.5, 256, 160, 120},  // never enlarged
        {"late.mp4", {}, 60, 64, 64, 48},                                  // past the end: its last frame
        {"wide pixels.mp4", {.pixelAspect = 2}, 0.5, 256, 256, 192},       // stored 160 x 240, shown 4:3
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = folder / c.name;
        ASSERT_TRUE(makeVideo(path, c.video));
        auto picture = frames.frame(path, {c.seconds, c.px, {}, {}});
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->size(), (PixelSize{c.width, c.height}));
        auto seen = samples::look(*imaging.jpegData(*picture, 0.8));
        EXPECT_TRUE(samples::isRed(seen.topLeft));
        EXPECT_FALSE(samples::isRed(seen.bottomRight));
        EXPECT_FALSE(samples::isRed(seen.topRight));
    }

    EXPECT_NEAR(frames.duration(folder / "clip.mp4").value_or(0), 2.0, 0.1);
    EXPECT_FALSE(frames.duration(folder / "missing.mp4"));

    // A tolerance the video cannot meet gives nothing.
    auto path = folder / "window.mp4";
    ASSERT_TRUE(makeVideo(path, {.seconds = 0.4}));
    EXPECT_FALSE(frames.frame(path, {3.0, 64, 0.5, 0.5}));
    EXPECT_TRUE(frames.frame(path, {0.2, 64, 0.5, 0.5}));

    // A file of more tracks than any phone or camera writes is no video to show.
    std::string many = "ffmpeg -v error -y -i '" + folder / "clip.mp4" + "'";
    for (int i = 0; i < 40; ++i) many += " -map 0:v";
    ASSERT_EQ(std::system((many + " -c copy '" + folder / "many.mp4" + "'").c_str()), 0);
    EXPECT_FALSE(frames.frame(folder / "many.mp4", {0.5, 64, {}, {}}));
    EXPECT_FALSE(frames.duration(folder / "many.mp4"));

    // Out of time: every read fails, so nothing comes of the file.
    FfmpegVideoFrames hurried(imaging, std::chrono::milliseconds(0));
    EXPECT_FALSE(hurried.frame(folder / "clip.mp4", {0.5, 64, {}, {}}));
    EXPECT_FALSE(hurried.duration(folder / "clip.mp4"));

    std::ofstream(folder / "noise.mp4") << std::string(50'000, '\x47');
    EXPECT_FALSE(frames.frame(folder / "noise.mp4", {0.5, 64, {}, {}}));
    EXPECT_FALSE(frames.frame(folder / "missing.mp4", {0.5, 64, {}, {}}));
    EXPECT_FALSE(frames.frame(path, {0.5, 0, {}, {}}));
}

TEST(FfmpegVideoFrames, TheFrameNearestTheAskedTimeIsChosen) {
    TempFolder folder;
    VipsImaging imaging;
    FfmpegVideoFrames frames(imaging);
    // Red frames at 0, 0.04 ... 0.16 s, then green from 0.20 s: one keyframe
    // at 0, so the frames asked for are decoded on from there.
    auto path = folder / "two.mp4";
    ASSERT_TRUE(colourVideo(path, {"red", "lime"}, 0.2));
    struct Case {
        double seconds;
        bool red;
    } cases[] = {
        {0.0, true},   {0.17, true},  // 0.16 is nearer than 0.20
        {0.19, false},                // 0.20 is nearer than 0.16
        {0.21, false}, {0.39, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        auto picture = frames.frame(path, {c.seconds, 64, {}, {}});
        ASSERT_TRUE(picture);
        auto seen = samples::look(*imaging.jpegData(*picture, 0.8));
        EXPECT_EQ(samples::isRed(seen.topLeft), c.red);
        EXPECT_EQ(samples::isGreen(seen.topLeft), !c.red);
    }
}

}  // namespace
}  // namespace lumivane
