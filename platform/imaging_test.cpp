#include "platform/imaging.h"

#include <gtest/gtest.h>

using namespace lumivane;

TEST(PreviewWillDo, APreviewOfAtLeastHalfTheAskedSizeWillDo) {
    struct Case {
        PixelSize size;
        int px;
        bool willDo;
    } cases[] = {
        {{160, 120}, 256, true}, {{128, 96}, 256, true},  {{127, 95}, 256, false},
        {{128, 96}, 255, true},  {{127, 95}, 255, false},  // half of 255 is 127.5
        {{90, 160}, 320, true},  {{90, 159}, 320, false},  // the longer edge counts
        {{0, 0}, 0, true},       {{1, 1}, 65536, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(previewWillDo(c.size, c.px), c.willDo) << c.size.width << "x" << c.size.height << " for " << c.px;
    // Files: half in whole pixels, rounded down.
    const Case files[] = {
        {{160, 120}, 321, true}, {{160, 120}, 320, true}, {{160, 120}, 322, false},
        {{127, 95}, 255, true},  {{126, 95}, 255, false}, {{160, 120}, 400, false},
    };
    for (const auto& c : files)
        EXPECT_EQ(previewWillDo(c.size, c.px, HalfOf::wholePixels), c.willDo)
            << c.size.width << "x" << c.size.height << " for " << c.px;
}
