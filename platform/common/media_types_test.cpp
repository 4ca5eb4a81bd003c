#include "platform/common/media_types.h"

#include <gtest/gtest.h>

using namespace lumivane;

TEST(MediaTypes, EachListAnswersForItsOwnPurpose) {
    struct Case {
        const char* name;
        std::optional<std::string> type;
        bool cameraVideo, fileVideo;
    } cases[] = {
        {"IMG_0001.JPG", "public.jpeg", false, false},
        {"IMG_0001.heic", "public.heic", false, false},
        {"_DSC0001.NEF", "com.adobe.raw-image", false, false},
        {"IMG_0002.MOV", "com.apple.quicktime-movie", true, true},
        {"clip.mp4", "public.mpeg-4", true, true},
        {"00001.MTS", "public.avchd-mpeg-2-transport-stream", true, true},
        {"GL010001.LRV", std::nullopt, false, true},  // an action camera's proxy: a video, no camera item
        {"VID_360.insv", std::nullopt, false, true},
        {"broadcast.mxf", std::nullopt, false, true},
        {".mov", "com.apple.quicktime-movie", false, true},  // a hidden file, not a camera's video
        {"movie", std::nullopt, false, false},
        {"notes.txt", std::nullopt, false, false},
        {"archive.mov.zip", std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cameraTypeIdentifier(c.name), c.type);
        EXPECT_EQ(isCameraVideoName(c.name), c.cameraVideo);
        EXPECT_EQ(isVideoFileName(c.name), c.fileVideo);
    }
    for (const char* heif : {"IMG_0001.heic", "IMG_0001.HEIF", "R5_0001.HIF", "photo.avif"})
        EXPECT_TRUE(isHeifFileName(heif)) << heif;
    for (const char* other : {"IMG_0001.JPG", "heic", "IMG_0001.heic.jpg", "clip.mp4"})
        EXPECT_FALSE(isHeifFileName(other)) << other;
}
