// RAW files show their embedded preview; everything else passes through.
#include "platform/libraw/raw_preview_imaging.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/vips/vips_imaging.h"
#include "runtime/testing/temp_folder.h"
#include "tools/sample_images/sample_images.h"

namespace lumivane {
namespace {

TEST(RawPreviewImaging, ARawFileShowsItsEmbeddedPreviewAndOtherFilesAreUntouched) {
    TempFolder folder;
    VipsImaging vips;
    RawPreviewImaging imaging(vips);
    struct Case {
        const char* name;
        samples::Format format;
        bool green;  // the mark of an embedded preview, else the picture's red one
    };
    const Case cases[] = {
        {"shot.DNG", samples::Format::dng, true},
        {"shot.dng", samples::Format::dng, true},
        {"photo.jpg", samples::Format::jpeg, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = folder / c.name;
        ASSERT_TRUE(samples::write(path, {.format = c.format, .width = 320, .height = 240}));
        auto source = imaging.sourceAtPath(path);
        ASSERT_TRUE(source);
        auto picture = source->thumbnail({ThumbnailFrom::imageAlways, 160, true});
        ASSERT_TRUE(picture);
        auto seen = samples::look(*imaging.jpegData(*picture, 0.9));
        EXPECT_EQ(seen.width, 160);
        EXPECT_EQ(seen.height, 120);
        EXPECT_TRUE(c.green ? samples::isGreen(seen.topLeft) : samples::isRed(seen.topLeft));
    }
    // A file named as a RAW that is none falls through to the wrapped imaging.
    std::ofstream(folder / "broken.NEF") << "not a raw file";
    EXPECT_FALSE(RawPreviewImaging::embeddedPreview(folder / "broken.NEF"));
    EXPECT_FALSE(imaging.sourceAtPath(folder / "broken.NEF"));
    EXPECT_FALSE(imaging.sourceAtPath(folder / "missing.CR2"));
}

}  // namespace
}  // namespace lumivane
